// Link-server discovery by beacon on a network interface, in a namespace with a veth pair v0
// 192.0.2.1/24 and v1 192.0.2.2/24 standing in for the network: a server that is not
// local-only, and a scripted announcer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BeaconPeer.h"
#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "FakeMulticastResponder.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "aBeaconInterface.h"
#include "aLinkManagerInternal.h"
#include "aLinkThroughServer.h"
#include "unix_time.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;

std::string Dotted(uint32_t address) {
  char text[16];
  aDiscovery_ConvertIPv4Interface(address, text, sizeof text);
  return text;
}

Bytes Reported(const linkSpec& spec) {
  RecordBytes bytes = BytesOf(spec);
  return Bytes(bytes.begin(), bytes.end());
}

// A discovery callback that stops at its first report and notes when it returned.
struct StopAtFirst {
  std::vector<linkSpec> reports;
  uint64_t returnedMs = 0;
  static bool Proc(const linkSpec* spec, bool* found, void* ref) {
    StopAtFirst* self = static_cast<StopAtFirst*>(ref);
    self->reports.push_back(*spec);
    *found = true;
    self->returnedMs = aTime_GetMonotonicMS();
    return false;
  }
};

class OrvexBeacon : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
    uint32_t list[4] = {};
    ASSERT_EQ(aDiscovery_GetIPv4Interfaces(list, 4), 2u);
    first_ = list[0];
  }
  uint32_t first_ = 0;
};

}  // namespace

TEST_F(OrvexBeacon, AServerOnTheFirstInterfaceIsFoundThereAndServes) {
  TcpSimDevice d(8, kSerial);
  SetSystemEntity(d.device, kSerial);
  int baseline = CountThreads();
  aLinkRef device = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
  ASSERT_NE(device, 0u);
  uint16_t port = 0;
  uint32_t interface = 0;
  aLinkRef client = aLink_CreateServer(device, &port, &interface, false);
  ASSERT_NE(client, 0u);
  EXPECT_EQ(interface, first_) << Dotted(interface);

  std::string setting = zsys_interface();
  DiscoveryRecorder recorder;
  Stopwatch watch;
  EXPECT_EQ(recorder.Enumerate(AORVEX, interface), 1);
  // Its 22 passes of 100 ms at most, well short of the beacon's 5 s configure wait.
  EXPECT_LT(watch.ElapsedMs(), 4500);
  EXPECT_EQ(zsys_interface(), setting) << "the beacon interface is put back";
  ASSERT_EQ(recorder.reports.size(), 1u);
  EXPECT_EQ(Reported(recorder.reports[0]), ServerRecord(6, kSerial, 8, kSystemModel, Dotted(first_).c_str(), port));

  aLinkRef other = aLink_CreateClient(recorder.reports[0].ipv4Address, static_cast<uint16_t>(recorder.reports[0].tcpPort), 0);
  ASSERT_NE(other, 0u);
  PacketPtr request(aPacket_CreateWithData(8, 3, HexBytes("03 49 20").data()));
  ASSERT_EQ(aLink_PutPacket(other, request.get()), aErrNone);
  PacketPtr reply(aLink_AwaitPacket(other, 3000));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(WireBytes(reply.get()), HexBytes("08 07 03 09 00 5E 12 AB 01"));

  aLink_Destroy(&other);
  aLink_Destroy(&client);
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_EQ(d.device.RoutePackets().back(), HexBytes("AF 01 00"));
  EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline; }, kBound)) << "threads";
}

TEST_F(OrvexBeacon, OnlyServerRecordsAreReported) {
  Bytes record = ServerRecord(6, kSerial, 8, 0x17, "192.0.2.1", 40001);
  auto resized = [&](size_t size) {
    Bytes bytes = record;
    bytes.resize(size, 0);
    return bytes;
  };
  struct Row {
    const char* what;
    Bytes content;
    size_t reported;
  };
  const Row rows[] = {
      {"a server's record", record, 1},
      {"127 bytes", resized(127), 0},
      {"129 bytes", resized(129), 0},
      // A device record would make the receiver open what the sender names.
      {"a type-3 record", ServerRecord(3, kSerial, 8, 0x17, "192.0.2.1", 40001), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    BeaconPeer announcer;
    announcer.Publish(row.content);
    DiscoveryRecorder recorder;
    EXPECT_EQ(recorder.Enumerate(AORVEX, first_), row.reported);
    EXPECT_EQ(recorder.reports.size(), row.reported) << "once, however often it is heard";
  }
}

TEST_F(OrvexBeacon, AnInterfaceThisHostDoesNotHaveFindsNothing) {
  BeaconPeer announcer;
  announcer.Publish(ServerRecord(5, kSerial, 8, 0x17, "192.0.2.1", 40001));
  std::string setting = zsys_interface();
  DiscoveryRecorder recorder;
  Stopwatch watch;
  EXPECT_EQ(recorder.Enumerate(AORVEX, IPv4("192.0.2.77")), 0);
  EXPECT_LT(watch.ElapsedMs(), 4500);  // as above: not the 5 s configure wait
  EXPECT_TRUE(recorder.reports.empty());
  EXPECT_EQ(zsys_interface(), setting);
}

TEST_F(OrvexBeacon, ACallbackThatStopsEndsDiscovery) {
  BeaconPeer announcer;
  announcer.Publish(ServerRecord(5, kSerial, 8, 0x17, "192.0.2.1", 40001));
  StopAtFirst stop;
  EXPECT_EQ(aDiscovery_EnumerateModules(AORVEX, StopAtFirst::Proc, &stop, first_), 1);
  uint64_t ended = aTime_GetMonotonicMS();
  ASSERT_EQ(stop.reports.size(), 1u);
  EXPECT_LT(ended - stop.returnedMs, 1000u);  // not the rest of its 2.2 s of passes
  // The lock is free again: a refused text takes none, an accepted one takes it.
  EXPECT_FALSE(zBeaconInterface_setAndLock("v0"));
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock(""));
  zBeaconInterface_restoreAndUnlock();
}
