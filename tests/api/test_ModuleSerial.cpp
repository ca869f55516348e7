// A Module over a serial line: the simulated device on the master of a pty, COBS framing.
#include <gtest/gtest.h>

#include "DeviceRigs.h"
#include "PacketHelpers.h"

using namespace Tavrin::Corvantis;

TEST(ModuleSerial, ConnectsFromALinkSpecAndQueries) {
  PtySimDevice p;
  p.device.Network().SetBuild(6, 12345);
  Module module(0, true, 0);
  module.setConfig(DirectConfig());
  ASSERT_EQ(module.connectFromSpec(p.Spec(115200)), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 6);
  EXPECT_EQ(p.line->RefusedFrames(), 0u);
  EXPECT_EQ(ReceivedSince(p.device).front(), HexBytes("AF 01 01"));
  // The line ends when the port closes: a new one before the port is opened again.
  ExpectQueriesAndReconnect(module, p.device, [&] {
    ASSERT_TRUE(p.line->WaitClientGone(5000));
    p.Renew();
  });
}
