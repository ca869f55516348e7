#include <gtest/gtest.h>
#include <sys/time.h>

#include <vector>

#include "unix_time.h"

namespace {
void sCollect(uint32_t us, void* ref) { static_cast<std::vector<uint32_t>*>(ref)->push_back(us); }

std::vector<uint32_t> sSlices(uint64_t ms) {
  std::vector<uint32_t> slices;
  osSleepSlices(ms, sCollect, &slices);
  return slices;
}

int64_t sWallMs() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}
}  // namespace

TEST(aTime, SleepSlices) {
  EXPECT_EQ(sSlices(0), std::vector<uint32_t>{});
  EXPECT_EQ(sSlices(1), std::vector<uint32_t>{1000});
  EXPECT_EQ(sSlices(999), std::vector<uint32_t>{999000});
  EXPECT_EQ(sSlices(1000), (std::vector<uint32_t>{999999, 1}));
  EXPECT_EQ(sSlices(2500), (std::vector<uint32_t>{999999, 999999, 500002}));
}

TEST(aTime, SleepAdvancesTheMonotonicClock) {
  uint64_t before = aTime_GetMonotonicMS();
  EXPECT_EQ(aTime_MSSleep(50), aErrNone);
  EXPECT_GE(aTime_GetMonotonicMS() - before, 50u);
  // No sleep at all returns at once.
  before = aTime_GetMonotonicMS();
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - before, 1000u);
}

TEST(aTime, MSTicksIsTheWallClock) {
  int64_t before = sWallMs();
  int64_t ticks = static_cast<int64_t>(aTime_GetMSTicks());
  int64_t after = sWallMs();
  EXPECT_GE(ticks, before);
  EXPECT_LE(ticks, after);
}
