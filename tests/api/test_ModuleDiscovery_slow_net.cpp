// A serial number nobody has: TCP/IP discovery gives up after its 2 s of silence.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "TcpipProbeResponder.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

TEST(ModuleDiscoverySlow, ASerialNumberNobodyHasIsNotFound) {
  RequirePrivateNetns();
  TcpSimDevice d(6, 0x00000001);
  TcpipProbeResponder responder;
  SimulatedTcpipDevice announced;
  announced.address = "127.0.0.1";
  announced.tcpPort = d.listener.port();
  announced.serial = d.serial;
  responder.AddDevice(announced);
  std::string error;
  ASSERT_TRUE(responder.Start(&error)) << error;

  Module module(0, true, 0);
  aOrvexConfig config = DirectConfig();
  config.networkInterface = IPv4("127.0.0.2");
  module.setConfig(config);
  linkSpec stored = d.Spec();
  stored.serialNumber = 0x0BADF00D;
  ASSERT_EQ(module.getLink()->setLinkSpecifier(stored), aErrNone);
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(module.discoverAndConnect(TCPIP, 0x00000002), aErrNotFound);
  uint64_t took = aTime_GetMonotonicMS() - start;
  EXPECT_GE(took, 2000u);
  EXPECT_LT(took, 3500u);
  linkSpec after;
  ASSERT_EQ(module.getLinkSpecifier(&after), aErrNone);
  EXPECT_EQ(memcmp(&after, &stored, sizeof stored), 0) << "the stored linkSpec is unchanged";
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(d.listener.accepts(), 0u);
}
