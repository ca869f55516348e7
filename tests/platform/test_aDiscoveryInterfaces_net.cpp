// In a namespace with only lo: no interface the beacons could use.
#include <gtest/gtest.h>

#include "Netns.h"
#include "aDiscovery.h"

TEST(aDiscoveryGetIPv4Interfaces, LoopbackAloneGivesNone) {
  RequirePrivateNetns();
  uint32_t list[8] = {};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 8), 0u);
}
