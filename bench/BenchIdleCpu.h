#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "CpuTime.h"

// CPU seconds (user and system) of this process per wall second while the calling thread
// sleeps `seconds`: what the process's other threads cost when nothing happens.
inline double IdleCpuPerSecond(double seconds) {
  double before = ProcessCpuSeconds();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return (ProcessCpuSeconds() - before) / wall;
}

// An idle figure beside its baseline; the ratio is the share of one core above the baseline.
inline void PrintIdleFigure(const char* name, double value, const char* baseName, double baseline) {
  double own = std::max(0.0, value - baseline);
  printf("bench %s: %.4g s/s; baseline %s: %.4g s/s; ratio %.4g\n", name, value, baseName, baseline, own);
  fflush(stdout);
}
