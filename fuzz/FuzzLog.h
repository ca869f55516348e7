#pragma once
#include <cstdio>

#include "Log.h"

// Once per process: the log goes to /dev/null with `packages` on, so the log lines of the
// paths under test are formatted from malformed input too, without filling the terminal.
inline void FuzzLogToNull(unsigned packages) {
  static bool once = [packages] {
    Log::SetOutput(fopen("/dev/null", "w"));
    Log::ActivatePackage(packages);
    return true;
  }();
  (void)once;
}
