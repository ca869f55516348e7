// TCP/IP discovery on every interface, in a namespace whose lo also carries 127.0.0.2 and
// 127.0.0.3: a probe goes out of each, and replies are not compared.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "TcpipProbeResponder.h"
#include "aDiscovery.h"

TEST(TcpipDiscoveryEveryInterface, ProbesEachAddressAndReportsEachReply) {
  RequirePrivateNetns();
  for (const char* every : {"0.0.0.0", "127.0.0.1"}) {
    SCOPED_TRACE(every);
    TcpipProbeResponder responder;
    SimulatedTcpipDevice device;
    device.address = "127.0.0.5";
    device.serial = 0x0000ABCD;
    responder.AddDevice(device);
    std::string error;
    ASSERT_TRUE(responder.Start(&error)) << error;

    DiscoveryRecorder recorder;
    EXPECT_EQ(recorder.Enumerate(TCPIP, IPv4(every)), 2);
    ASSERT_EQ(recorder.reports.size(), 2u);
    EXPECT_EQ(BytesOf(recorder.reports[0]), BytesOf(recorder.reports[1]));
    EXPECT_EQ(recorder.reports[0].serialNumber, 0x0000ABCDu);

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::set<std::string> sources;
    for (const ReceivedProbe& probe : responder.Probes()) sources.insert(probe.source);
    EXPECT_EQ(responder.Probes().size(), 2u);
    EXPECT_EQ(sources, (std::set<std::string>{"127.0.0.2", "127.0.0.3"}));
  }
}
