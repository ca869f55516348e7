#include "CpuTime.h"

#include <time.h>

namespace {

double sSeconds(clockid_t clock) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) return 0.0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

double ProcessCpuSeconds() { return sSeconds(CLOCK_PROCESS_CPUTIME_ID); }
double ThreadCpuSeconds() { return sSeconds(CLOCK_THREAD_CPUTIME_ID); }
