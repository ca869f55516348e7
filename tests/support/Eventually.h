#pragma once
#include <cstdint>

#include "unix_time.h"

// Polls done() every couple of milliseconds until it holds or `ms` pass (monotonic clock);
// true when it held. Every wait of the tests is bounded this way.
template <typename Done>
bool Eventually(Done done, uint64_t ms = 5000, uint64_t pollMs = 2) {
  uint64_t deadline = aTime_GetMonotonicMS() + ms;
  while (!done()) {
    if (aTime_GetMonotonicMS() >= deadline) return false;
    aTime_MSSleep(pollMs);
  }
  return true;
}
