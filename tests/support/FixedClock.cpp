#include "FixedClock.h"

#include <cstdlib>

#include "KeyValueStore.h"

FixedClock::FixedClock(time_t now) : now_(now) {
  if (const char* tz = getenv("TZ")) savedTz_ = tz;
  setenv("TZ", "UTC", 1);
  tzset();
  KeyValueStore::SetTimeSource([this] { return now_; });
}

FixedClock::~FixedClock() {
  KeyValueStore::SetTimeSource(nullptr);
  if (savedTz_) {
    setenv("TZ", savedTz_->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}
