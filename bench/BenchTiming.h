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

// The p-quantile (0 to 1) of the values, by nearest rank below; 0 for no values.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// Microseconds of the steady clock since `start`.
inline double MicrosSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}
