// Discovery's dispatch on the link type, for the types that touch no transport.
#include <gtest/gtest.h>

#include "DiscoveryRecorder.h"
#include "aDiscovery.h"

TEST(aDiscoveryEnumerateModules, TypesWithoutDiscoveryFindNothing) {
  // 0 no transport, 3 serial lines (never discovered), 8 and -1 invalid. Link servers (4 to 7)
  // are looked for on the network: test_aOrvexDiscovery_net.
  for (int type : {0, 3, 8, -1}) {
    for (uint32_t networkInterface : {0u, IPv4("127.0.0.1")}) {
      DiscoveryRecorder recorder;
      EXPECT_EQ(recorder.Enumerate(static_cast<linkType>(type), networkInterface), 0) << "type " << type;
      EXPECT_TRUE(recorder.reports.empty()) << "type " << type;
    }
  }
}
