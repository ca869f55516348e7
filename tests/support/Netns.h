#pragma once

// True when this process sees only lo (and veth interfaces of its own), i.e. it runs in a
// private network namespace from which no packet can leave the machine.
bool InPrivateNetns();

// For network tests: skips the current test, with its reason, outside a private namespace.
#define RequirePrivateNetns()                                                        \
  do {                                                                               \
    if (!InPrivateNetns())                                                           \
      GTEST_SKIP() << "not in a private network namespace (run under scripts/netns)"; \
  } while (0)
