// A device that never stops replying cannot hold TCP/IP discovery for ever.
#include <gtest/gtest.h>

#include <string>

#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "TcpipProbeResponder.h"
#include "aDiscovery.h"

TEST(TcpipDiscoveryFlood, EndsAtTheTimeLimitWithTheRepliesTaken) {
  RequirePrivateNetns();
  TcpipProbeResponder responder;
  SimulatedTcpipDevice device;
  device.address = "127.0.0.5";
  device.serial = 0x0000ABCD;
  device.flood = true;
  responder.AddDevice(device);
  std::string error;
  ASSERT_TRUE(responder.Start(&error)) << error;

  DiscoveryRecorder recorder;
  Stopwatch watch;
  uint8_t count = recorder.Enumerate(TCPIP, IPv4("127.0.0.2"));
  int64_t took = watch.ElapsedMs();
  EXPECT_GE(took, 9000);
  EXPECT_LT(took, 11000);
  // About one reply every 100 ms, each one counted.
  EXPECT_GT(recorder.reports.size(), 50u);
  EXPECT_LT(recorder.reports.size(), 256u);
  EXPECT_EQ(count, recorder.reports.size());
}
