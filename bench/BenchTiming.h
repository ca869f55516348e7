#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
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

inline void PrintBench(const char* name, double value, const char* base, double baseline, const char* unit) {
  printf("bench %s: %.3f %s; baseline %s: %.3f %s; ratio %.2f\n", name, value, unit, base, baseline, unit,
         baseline > 0 ? value / baseline : 0.0);
}
