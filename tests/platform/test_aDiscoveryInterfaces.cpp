#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DiscoveryRecorder.h"
#include "aDiscovery.h"

TEST(aDiscoveryConvertIPv4Interface, WritesDottedTextIntoABufferOfRoom) {
  struct Case {
    const char* address;
    uint32_t size;
    uint32_t length;  // 0: refused, buffer untouched
  };
  const Case cases[] = {
      {"192.168.1.10", 15, 0}, {"192.168.1.10", 16, 12}, {"255.255.255.255", 16, 15},
      {"0.0.0.0", 16, 7},      {"127.0.0.1", 40, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address << " in " << c.size);
    char buffer[48];
    memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(IPv4(c.address), buffer, c.size), c.length);
    if (c.length == 0) {
      EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(sizeof(buffer), 'Z'));
      continue;
    }
    EXPECT_STREQ(buffer, c.address);
    // The rest of the given size is zero; nothing beyond it is touched.
    EXPECT_EQ(std::string(buffer + c.length, c.size - c.length), std::string(c.size - c.length, '\0'));
    EXPECT_EQ(std::string(buffer + c.size, sizeof(buffer) - c.size), std::string(sizeof(buffer) - c.size, 'Z'));
  }
}

TEST(aDiscoveryConvertIPv4Interface, NullBufferGivesZero) {
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(IPv4("192.168.1.10"), nullptr, 16), 0u);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(IPv4("192.168.1.10"), nullptr, 4096), 0u);
}

TEST(aDiscoveryGetIPv4Interfaces, NoListOrNoRoomStoresNothing) {
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
  uint32_t list[2] = {0xAAAAAAAA, 0xAAAAAAAA};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 0), 0u);
  EXPECT_EQ(list[0], 0xAAAAAAAA);
  EXPECT_EQ(list[1], 0xAAAAAAAA);
}
