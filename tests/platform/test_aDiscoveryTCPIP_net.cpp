// TCP/IP discovery against simulated devices, in a namespace of its own with only lo: every
// address of 127/8 is local, so the devices answer from 127.0.0.N.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "Netns.h"
#include "TcpipProbeResponder.h"
#include "aDiscovery.h"

namespace {

SimulatedTcpipDevice Device(const std::string& address, uint32_t serial, int delayMs = 0) {
  SimulatedTcpipDevice device;
  device.address = address;
  device.serial = serial;
  device.moduleAddress = 4;
  device.tcpPort = 6000;
  device.model = 9;
  device.delayMs = delayMs;
  return device;
}

class TcpipDiscovery : public testing::Test {
 protected:
  void SetUp() override { RequirePrivateNetns(); }

  void Respond(const std::vector<SimulatedTcpipDevice>& devices) {
    responder_ = std::make_unique<TcpipProbeResponder>();
    for (const SimulatedTcpipDevice& device : devices) responder_->AddDevice(device);
    std::string error;
    ASSERT_TRUE(responder_->Start(&error)) << error;
  }

  // Probes seen, once `expected` of them have come (with a bound) and a short quiet window
  // after, in which one more would still show.
  std::vector<ReceivedProbe> Probes(size_t expected) {
    EXPECT_TRUE(Eventually([&] { return responder_->Probes().size() >= expected; })) << "probes";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return responder_->Probes();
  }

  std::unique_ptr<TcpipProbeResponder> responder_;
  const uint32_t interface_ = IPv4("127.0.0.2");
};

}  // namespace

TEST_F(TcpipDiscovery, ReportsEveryUsableReplyAsItsRecord) {
  SimulatedTcpipDevice full = Device("127.0.0.5", 0x0000ABCD);
  full.moduleAddress = 8;
  full.tcpPort = 5000;
  full.model = 5;
  SimulatedTcpipDevice noModel = Device("127.0.0.6", 0x00000006, 100);
  noModel.replyLength = 12;
  SimulatedTcpipDevice noSerial = Device("127.0.0.7", 0x00000007, 200);
  noSerial.replyLength = 5;  // after a full reply: nothing of it may fill the missing bytes
  SimulatedTcpipDevice longer = Device("127.0.0.8", 0x00000008, 300);
  longer.replyLength = 20;
  Respond({full, noModel, noSerial, longer});

  DiscoveryRecorder recorder;
  Stopwatch watch;
  EXPECT_EQ(recorder.Enumerate(TCPIP, interface_), 3);
  int64_t took = watch.ElapsedMs();
  // 2 s of silence after the last reply; a second silence, or the 10 s limit, would be longer.
  EXPECT_GE(took, 2000);
  EXPECT_LT(took, 3500);

  ASSERT_EQ(recorder.reports.size(), 3u);
  EXPECT_EQ(BytesOf(recorder.reports[0]), ExpectedTcpipRecord(0x0000ABCD, 8, 5, "127.0.0.5", 5000));
  EXPECT_EQ(BytesOf(recorder.reports[0])[24], 0x7F);
  EXPECT_EQ(BytesOf(recorder.reports[1]), ExpectedTcpipRecord(0x00000006, 4, 0xFF, "127.0.0.6", 6000));
  EXPECT_EQ(BytesOf(recorder.reports[2]), ExpectedTcpipRecord(0x00000008, 4, 9, "127.0.0.8", 6000));
  EXPECT_EQ(recorder.foundOnEntry, 0);

  std::vector<ReceivedProbe> probes = Probes(1);
  ASSERT_EQ(probes.size(), 1u);
  std::vector<uint8_t> probe(16, 0);
  probe[0] = 0x01;
  EXPECT_EQ(probes[0].bytes, probe);
  EXPECT_EQ(probes[0].destination, "232.2.2.2");
  EXPECT_EQ(probes[0].source, "127.0.0.2");
}

TEST_F(TcpipDiscovery, NoReplyEndsAfterTheSilence) {
  Respond({});
  DiscoveryRecorder recorder;
  Stopwatch watch;
  EXPECT_EQ(recorder.Enumerate(TCPIP, interface_), 0);
  EXPECT_GE(watch.ElapsedMs(), 2000);
  EXPECT_LT(watch.ElapsedMs(), 3500);
  EXPECT_TRUE(recorder.reports.empty());
  EXPECT_EQ(Probes(1).size(), 1u);
}

TEST_F(TcpipDiscovery, EveryInterfaceWithOnlyTheLoopbackAddressSendsNoProbe) {
  Respond({Device("127.0.0.5", 0x0000ABCD)});
  for (const char* every : {"0.0.0.0", "127.0.0.1"}) {
    DiscoveryRecorder recorder;
    Stopwatch watch;
    EXPECT_EQ(recorder.Enumerate(TCPIP, IPv4(every)), 0) << every;
    EXPECT_LT(watch.ElapsedMs(), 1000) << every << ": waited for the 2 s of silence";
    EXPECT_TRUE(recorder.reports.empty()) << every;
  }
  EXPECT_TRUE(Probes(0).empty());
}

TEST_F(TcpipDiscovery, ProcThatStopsEndsDiscoveryAtOnce) {
  for (bool setFound : {true, false}) {
    Respond({Device("127.0.0.5", 1), Device("127.0.0.6", 2, 50)});
    DiscoveryRecorder recorder;
    recorder.setFound = setFound;
    recorder.stopAt = 1;
    Stopwatch watch;
    EXPECT_EQ(recorder.Enumerate(TCPIP, interface_), setFound ? 1 : 0);
    EXPECT_LT(watch.ElapsedMs(), 1000);
    EXPECT_EQ(recorder.reports.size(), 1u);
  }
}

TEST_F(TcpipDiscovery, ProcThatNeverCountsStillSeesEveryDevice) {
  Respond({Device("127.0.0.5", 1), Device("127.0.0.6", 2, 50), Device("127.0.0.7", 3, 100)});
  DiscoveryRecorder recorder;
  recorder.setFound = false;
  EXPECT_EQ(recorder.Enumerate(TCPIP, interface_), 0);
  EXPECT_EQ(recorder.reports.size(), 3u);
}

TEST_F(TcpipDiscovery, NoProcGivesZeroWithoutProbing) {
  Respond({Device("127.0.0.5", 1)});
  Stopwatch watch;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, nullptr, nullptr, interface_), 0);
  EXPECT_LT(watch.ElapsedMs(), 1000) << "waited for the 2 s of silence";
  EXPECT_TRUE(Probes(0).empty());
}

TEST_F(TcpipDiscovery, FindModuleTakesTheDeviceWithThatSerial) {
  Respond({Device("127.0.0.5", 0x11), Device("127.0.0.6", 0x22, 50), Device("127.0.0.7", 0x33, 100)});
  linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x22, interface_);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(BytesOf(*spec), ExpectedTcpipRecord(0x22, 4, 9, "127.0.0.6", 6000));
  aLinkSpec_Destroy(&spec);

  EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x99, interface_), nullptr);
}

TEST_F(TcpipDiscovery, FindFirstModulePassesOverSerialZero) {
  Respond({Device("127.0.0.5", 0), Device("127.0.0.6", 0x1234, 100)});
  linkSpec* spec = aDiscovery_FindFirstModule(TCPIP, interface_);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(BytesOf(*spec), ExpectedTcpipRecord(0x1234, 4, 9, "127.0.0.6", 6000));
  aLinkSpec_Destroy(&spec);
}
