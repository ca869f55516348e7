#include "unix_time.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr uint32_t kMaxSliceUs = 999999;

void sUSleep(uint32_t us, void*) { usleep(us); }

}  // namespace

uint64_t aTime_GetMSTicks() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
  return ms == UINT64_MAX ? 0 : ms;
}

uint64_t aTime_GetMonotonicMS() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void osSleepSlices(uint64_t ms, osSleepSliceProc slice, void* ref) {
  // 128 bits, so that no millisecond count wraps when turned into microseconds.
  unsigned __int128 left = static_cast<unsigned __int128>(ms) * 1000u;
  while (left > 0) {
    uint32_t us = left > kMaxSliceUs ? kMaxSliceUs : static_cast<uint32_t>(left);
    slice(us, ref);
    left -= us;
  }
}

void osMSSleep(uint64_t ms) { osSleepSlices(ms, sUSleep, nullptr); }

aErr aTime_MSSleep(uint64_t ms) {
  osMSSleep(ms);
  return aErrNone;
}
