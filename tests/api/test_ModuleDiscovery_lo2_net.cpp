// With its default configuration (127.0.0.1: every interface) a Module's discovery probes out
// of each address other than 127.0.0.1; here lo also carries 127.0.0.2 and 127.0.0.3.
#include <gtest/gtest.h>

#include <string>

#include "DeviceRigs.h"
#include "Netns.h"
#include "TcpipProbeResponder.h"

using namespace Tavrin::Corvantis;

TEST(ModuleDiscoveryEveryInterface, TheDefaultInterfaceFindsTheDevice) {
  RequirePrivateNetns();
  TcpSimDevice d(6, 0x00C0FFEE);
  TcpipProbeResponder responder;
  SimulatedTcpipDevice announced;
  announced.address = "127.0.0.1";
  announced.moduleAddress = 6;
  announced.tcpPort = d.listener.port();
  announced.serial = d.serial;
  responder.AddDevice(announced);
  std::string error;
  ASSERT_TRUE(responder.Start(&error)) << error;

  Module module(0, true, 0);
  module.setConfig(DirectConfig());
  ASSERT_EQ(module.connect(TCPIP, 0x00C0FFEE), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 6);
  EXPECT_EQ(d.listener.accepts(), 1u);
}
