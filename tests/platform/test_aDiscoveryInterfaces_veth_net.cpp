// In a namespace with a veth pair v0 192.0.2.1/24 and v1 192.0.2.2/24.
#include <czmq.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "aDiscovery.h"

namespace {

// The interface list's own order of the addresses.
std::vector<uint32_t> ListOrder() {
  std::vector<uint32_t> order;
  ziflist_t* list = ziflist_new();
  for (const char* name = ziflist_first(list); name != nullptr; name = ziflist_next(list)) {
    order.push_back(IPv4(ziflist_address(list)));
  }
  ziflist_destroy(&list);
  return order;
}

}  // namespace

TEST(aDiscoveryGetIPv4Interfaces, GivesBothEndsOfTheVethPairInListOrder) {
  RequirePrivateNetns();
  uint32_t list[8] = {};
  ASSERT_EQ(aDiscovery_GetIPv4Interfaces(list, 8), 2u);
  std::vector<uint32_t> got(list, list + 2);
  EXPECT_EQ(std::set<uint32_t>(got.begin(), got.end()),
            (std::set<uint32_t>{IPv4("192.0.2.1"), IPv4("192.0.2.2")}));
  EXPECT_EQ(got, ListOrder());
  EXPECT_EQ(list[2], 0u);

  uint32_t one[2] = {};
  ASSERT_EQ(aDiscovery_GetIPv4Interfaces(one, 1), 1u);
  EXPECT_EQ(one[0], got[0]);
  EXPECT_EQ(one[1], 0u);
}
