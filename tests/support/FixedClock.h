#pragma once
#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

// Settings time stamps from a fixed clock in UTC; both are restored on destruction.
class FixedClock {
 public:
  // 741476948 is "Wed Jun 30 21:49:08 1993" in UTC.
  static constexpr time_t kDefaultTime = 741476948;
  static constexpr const char* kDefaultText = "Wed Jun 30 21:49:08 1993";

  explicit FixedClock(time_t now = kDefaultTime);
  ~FixedClock();
  FixedClock(const FixedClock&) = delete;
  FixedClock& operator=(const FixedClock&) = delete;

  void set(time_t now) { now_ = now; }

 private:
  time_t now_;
  std::optional<std::string> savedTz_;
};

// A test fixture holding a FixedClock.
class FixedClockTest : public ::testing::Test {
 protected:
  FixedClock clock_;
};
