// Decoding of one TCP/IP discovery reply, the untrusted datagram from port 9889.
#include <gtest/gtest.h>

#include <vector>

#include "DiscoveryRecorder.h"
#include "aDiscoveryTCPIP.h"

namespace {

// Module address 8, port 0x1388 (5000), serial 0x0000ABCD, model 5; markers in the bytes that
// are not interpreted, and 4 bytes past the 16 that are read.
const std::vector<uint8_t> kReply = {0xA0, 0x08, 0x88, 0x13, 0xCD, 0xAB, 0x00, 0x00, 0xA8, 0xA9,
                                     0xAA, 0xAB, 0x05, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0xB2, 0xB3};

struct Case {
  size_t length;
  bool reported;
  uint8_t model;
};

}  // namespace

TEST(sCopyToTCPIPLinkspec, TakesEachFieldFromItsOffsetAndRefusesShortReplies) {
  const Case cases[] = {
      {0, false, 0},   {5, false, 0},  {7, false, 0},   // no complete serial number
      {8, true, 0xFF}, {12, true, 0xFF},                 // no model byte
      {13, true, 5},   {16, true, 5},  {20, true, 5},   // past 16 nothing is read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes");
    // Exactly the bytes received, so that a read past them is caught by the sanitizer build.
    std::vector<uint8_t> reply(kReply.begin(), kReply.begin() + c.length);
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    bool reported = sCopyToTCPIPLinkspec(spec, reply.data(), reply.size(), IPv4("127.0.0.5"));
    EXPECT_EQ(reported, c.reported);
    if (c.reported) {
      EXPECT_EQ(BytesOf(*spec), ExpectedTcpipRecord(0x0000ABCD, 8, c.model, "127.0.0.5", 5000));
    } else {
      EXPECT_EQ(BytesOf(*spec), RecordBuilder().U32(0, 2).bytes());
    }
    aLinkSpec_Destroy(&spec);
  }
}

TEST(sCopyToTCPIPLinkspec, KeepsTheSenderInNetworkByteOrder) {
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  ASSERT_NE(spec, nullptr);
  ASSERT_TRUE(sCopyToTCPIPLinkspec(spec, kReply.data(), 16, IPv4("10.1.2.3")));
  const uint8_t* address = reinterpret_cast<const uint8_t*>(&spec->ipv4Address);
  EXPECT_EQ(std::vector<uint8_t>(address, address + 4), (std::vector<uint8_t>{10, 1, 2, 3}));
  aLinkSpec_Destroy(&spec);
}
