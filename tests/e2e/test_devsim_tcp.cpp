// corvantis-devsim --tcp serves the simulated device to a TCP/IP link of another process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Child.h"
#include "DeviceRigs.h"
#include "Module.h"
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

TEST(Devsim, ServesAModuleWithItsTables) {
  Child devsim(kDevsim, {"--tcp", "0", "--address", "6", "--build", "12345", "--entity", "6:3:9:0=4:0x12345678",
                "--factory", "6:2=0A0B0C"});
  std::string line = devsim.Line(5000);
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;

  {
    Tavrin::Corvantis::Module module(0, true, 0);
    module.setConfig(DirectConfig());
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x1234;
    spec.ipv4Address = TcpDeviceListener::address();
    spec.tcpPort = port;
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 12345u);

    Tavrin::Corvantis::uei get{};
    get.module = 6;
    get.command = 3;
    get.option = 0x49;
    get.index = 0x20;
    ASSERT_EQ(module.getLink()->sendUEI(get), aErrNone);
    get.option = 9;
    get.index = 0;
    ASSERT_EQ(module.getLink()->receiveUEI(6, 3, 9, 0, &get), aErrNone);
    EXPECT_EQ(get.value.intVal, 0x12345678u);
    uint8_t factory[8] = {};
    size_t count = 0;
    EXPECT_EQ(module.getLink()->getFactoryData(6, 2, factory, sizeof factory, &count), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(factory, factory + count), HexBytes("0A 0B 0C"));
  }
  EXPECT_EQ(devsim.Stop(5000), 0);
}

TEST(Devsim, RefusesWhatItDoesNotKnow) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--tcp"}, {"--tcp", "70000"}, {"--usb", "1"}, {"--tcp", "0", "--address", "7"},
        {"--tcp", "0", "--entity", "6:3:9=4:1"}, {"--tcp", "0", "--entity", "6:3:9:0=3:1"},
        {"--tcp", "0", "--slot", "6:1:2:4=0102030405"}, {"--tcp", "0", "--factory", "6:16=00"},
        {"--tcp", "0", "--build"}}) {
    Child devsim(kDevsim, args);
    EXPECT_EQ(devsim.Line(5000), "");
    EXPECT_EQ(devsim.Stop(5000), 2);
  }
}

}  // namespace
