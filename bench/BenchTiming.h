#pragma once
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

// Median wall time of `runs` calls, in milliseconds.
inline double MedianMs(int runs, const std::function<void()>& fn) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    fn();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}
