// corvantis-devsim --tcp serves the simulated device to a TCP/IP link of another process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Child.h"
#include "PacketHelpers.h"
#include "TcpDeviceListener.h"
#include "aLink.h"

namespace {

const char* kDevsim = CORVANTIS_BINARY_DIR "/bin/corvantis-devsim";

TEST(Devsim, ServesAnEchoingDeviceOverTcp) {
  Child devsim(kDevsim, {"--tcp", "0"});
  std::string line = devsim.Line(5000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
  ASSERT_GT(port, 0u);

  aLinkRef ref = aLink_CreateTCPIP(0x1234, TcpDeviceListener::address(), static_cast<uint16_t>(port));
  ASSERT_NE(ref, 0u);
  std::vector<uint8_t> payload = HexBytes("10 20 30");
  PacketPtr request(aPacket_CreateWithData(0x08, 3, payload.data()));
  ASSERT_EQ(aLink_PutPacket(ref, request.get()), aErrNone);
  PacketPtr reply(aLink_AwaitFirst(ref, SamePayload, &payload, 5000));
  EXPECT_NE(reply, nullptr);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(devsim.Stop(5000), 0);
}

TEST(Devsim, RefusesWhatItDoesNotKnow) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--tcp"}, {"--tcp", "70000"}, {"--usb", "1"}}) {
    Child devsim(kDevsim, args);
    EXPECT_EQ(devsim.Line(5000), "");
    EXPECT_EQ(devsim.Stop(5000), 2);
  }
}

}  // namespace
