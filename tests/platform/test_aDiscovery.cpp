// Discovery's dispatch on the link type, for the types that touch no transport.
#include <gtest/gtest.h>

#include "DiscoveryRecorder.h"
#include "aDiscovery.h"

TEST(aDiscoveryEnumerateModules, TypesWithoutDiscoveryFindNothing) {
  // 0 no transport, 3 serial lines (never discovered), 8 and -1 invalid; 4 to 7 are link servers,
  // none of which is looked for yet.
  for (int type : {0, 3, 8, -1, 4, 5, 6, 7}) {
    for (uint32_t networkInterface : {0u, IPv4("127.0.0.1")}) {
      DiscoveryRecorder recorder;
      EXPECT_EQ(recorder.Enumerate(static_cast<linkType>(type), networkInterface), 0) << "type " << type;
      EXPECT_TRUE(recorder.reports.empty()) << "type " << type;
    }
  }
}

TEST(aDiscoveryFindModule, FindsNoLinkServer) {
  for (int type = 4; type <= 7; ++type) {
    EXPECT_EQ(aDiscovery_FindModule(static_cast<linkType>(type), 0x0000ABCD, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindFirstModule(static_cast<linkType>(type), 0), nullptr);
  }
}
