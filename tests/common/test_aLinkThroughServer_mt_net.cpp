// A link server put in front of a TCP/IP device link, and its client link, end to end on lo:
// creation, the announcement it makes once it knows the device, requests through the client,
// and the release of everything with the client's last use.
#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "FakeMulticastResponder.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkThroughServer.h"
#include "aServer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;

// The serial number, read by a UEI get of the system entity's option 9 at address 8.
std::optional<uint32_t> GetValue(aLinkRef link, uint64_t waitMs = 2000) { return GetUEI32(link, 8, 9, waitMs); }

Bytes Reported(const linkSpec& spec) {
  RecordBytes bytes = BytesOf(spec);
  return Bytes(bytes.begin(), bytes.end());
}

class ThroughServer : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
    SetSystemEntity(d_.device, kSerial);
    baseline_ = CountThreads();
    links_ = sRegistryCount();
  }
  aLinkRef DeviceLink() { return aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d_.listener.port()); }
  void ExpectAllBack() {
    EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline_; }, kBound)) << "threads";
    EXPECT_EQ(sRegistryCount(), links_) << "registered links";
  }

  TcpSimDevice d_{8, kSerial};
  int baseline_ = 0;
  size_t links_ = 0;
};

}  // namespace

TEST_F(ThroughServer, ServesTheDeviceAnnouncesItAndGoesWithTheClient) {
  // A local-only server binds 127.0.0.1 whatever its interface, and so its client connects
  // there; the interface written back stays the server's.
  for (const char* interfaceText : {"127.0.0.1", "127.0.0.2"}) {
    SCOPED_TRACE(interfaceText);
    size_t connection = d_.listener.accepts() + 1;
    aLinkRef device = DeviceLink();
    ASSERT_NE(device, 0u);
    uint16_t port = 0;
    uint32_t interface = IPv4(interfaceText);
    aLinkRef client = aLink_CreateServer(device, &port, &interface, true);
    ASSERT_NE(client, 0u);
    EXPECT_NE(client, device);
    EXPECT_NE(port, 0);
    EXPECT_EQ(interface, IPv4(interfaceText));

    DiscoveryRecorder recorder;
    EXPECT_EQ(recorder.Enumerate(AORVEX, IPv4("127.0.0.1")), 1);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(Reported(recorder.reports[0]), ServerRecord(6, kSerial, 8, kSystemModel, "127.0.0.1", port));

    EXPECT_EQ(GetValue(client), kSerial);
    EXPECT_EQ(aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d_.listener.port()), 0u)
        << "a served TCP/IP device is reached through its server";

    size_t routes = d_.device.RoutePackets().size();
    ASSERT_EQ(aLink_Destroy(&client), aErrNone);
    ASSERT_TRUE(d_.listener.WaitForEnd(connection, kBound));
    std::vector<Bytes> after = d_.device.RoutePackets();
    ASSERT_EQ(after.size(), routes + 1) << "the device's route-off, once; the client's is the server's to drop";
    EXPECT_EQ(after.back(), HexBytes("AF 01 00"));
    ExpectAllBack();
  }
}

TEST_F(ThroughServer, QueryReplies) {
  struct Row {
    const char* what;
    Bytes wire;
    aErr address;
    aErr model;  // for a query sent to address 8
    uint8_t value;
  };
  const Row rows[] = {
      {"08 00", HexBytes("08 00"), aErrNone, aErrIO, 8},
      {"08 01 00", HexBytes("08 01 00"), aErrIO, aErrIO, 0},
      {"model from 8", HexBytes("08 04 03 48 20 17"), aErrIO, aErrNone, 0x17},
      {"model from 10", HexBytes("0A 04 03 48 20 17"), aErrIO, aErrIO, 0},
      {"the error form", HexBytes("08 04 03 48 A0 05"), aErrIO, aErrIO, 0},
      {"another command", HexBytes("08 04 04 48 20 17"), aErrIO, aErrIO, 0},
      {"too long", HexBytes("08 05 03 48 20 17 00"), aErrIO, aErrIO, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PacketPtr packet(aPacket_CreateWithData(row.wire[0], row.wire[1], row.wire.data() + 2));
    uint8_t address = 0;
    uint8_t model = 0;
    EXPECT_EQ(_aLink_ModuleAddressReply(packet.get(), &address), row.address);
    EXPECT_EQ(_aLink_ModelReply(packet.get(), 8, &model), row.model);
    if (row.address == aErrNone) {
      EXPECT_EQ(address, row.value);
    }
    if (row.model == aErrNone) {
      EXPECT_EQ(model, row.value);
    }
  }
}

TEST_F(ThroughServer, AModelQueryAnsweredWithAnErrorIsAskedAgain) {
  d_.device.Network().AddFault({0x03, 0x48}, SimFault::ErrorReply(aErrBusy));
  aLinkRef device = DeviceLink();
  ASSERT_NE(device, 0u);
  uint16_t port = 0;
  uint32_t interface = IPv4("127.0.0.1");
  aLinkRef client = aLink_CreateServer(device, &port, &interface, true);
  ASSERT_NE(client, 0u);
  size_t modelQueries = 0;
  for (const SimLinkDevice::Received& packet : d_.device.Packets())
    if (packet.wire == HexBytes("08 03 03 48 20")) ++modelQueries;
  EXPECT_EQ(modelQueries, 2u);
  DiscoveryRecorder recorder;
  EXPECT_EQ(recorder.Enumerate(AORVEX, 0), 1);
  ASSERT_EQ(recorder.reports.size(), 1u);
  EXPECT_EQ(recorder.reports[0].model, kSystemModel) << "the error code is no model";
  aLink_Destroy(&client);
  ExpectAllBack();
}

TEST_F(ThroughServer, AFailedCheckOfARunningServerLeavesItAndItsOtherClientsAsTheyWere) {
  // One use of the device link for each creation.
  aLinkRef device = DeviceLink();
  ASSERT_NE(device, 0u);
  ASSERT_EQ(DeviceLink(), device);
  uint16_t port = 0;
  uint32_t interface = IPv4("127.0.0.1");
  aLinkRef first = aLink_CreateServer(device, &port, &interface, true);
  ASSERT_NE(first, 0u);

  // The next creation finds the server running, and its checks fail: its first AD 00 goes
  // unanswered (the worker waits for it past the query's second) and every model query is
  // answered with an error.
  d_.device.SetSyncAnswers({SimLinkDevice::SyncAnswer::kNever, SimLinkDevice::SyncAnswer::kRight});
  d_.device.Network().AddFault({0x03, 0x48}, SimFault::ErrorReply(aErrBusy), true);
  size_t syncs = d_.device.SyncCount();
  // The first client asks while that AD 00 holds the worker: its request waits in the server
  // when the check gives up on its answer.
  std::optional<uint32_t> answered;
  std::thread other([&] {
    if (d_.device.WaitForSyncCount(syncs + 1, kBound)) answered = GetValue(first, 4000);
  });
  uint16_t againPort = 0;
  uint32_t againInterface = IPv4("127.0.0.1");
  EXPECT_EQ(aLink_CreateServer(device, &againPort, &againInterface, true), 0u);
  other.join();
  EXPECT_EQ(answered, kSerial) << "the other client's request got its own reply";
  DiscoveryRecorder recorder;
  EXPECT_EQ(recorder.Enumerate(AORVEX, IPv4("127.0.0.1")), 1);
  ASSERT_EQ(recorder.reports.size(), 1u);
  EXPECT_EQ(Reported(recorder.reports[0]), ServerRecord(6, kSerial, 8, kSystemModel, "127.0.0.1", port))
      << "the server's module address and model as they were";

  // Once the device answers, the running server takes the next client.
  d_.device.Network().ClearFaults();
  aLinkRef second = aLink_CreateServer(device, &againPort, &againInterface, true);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(againPort, port);
  EXPECT_EQ(GetValue(second), kSerial);
  EXPECT_EQ(GetValue(first), kSerial);
  aLink_Destroy(&second);
  aLink_Destroy(&first);
  ExpectAllBack();
}

TEST_F(ThroughServer, RefusedCreationsTouchNothing) {
  aLinkRef device = DeviceLink();
  ASSERT_NE(device, 0u);
  aLinkRef client = aLink_CreateClient(IPv4("127.0.0.1"), 1, 0);
  ASSERT_NE(client, 0u);
  // A link over a caller's stream has type 0.
  aLinkRef streamLink = sCreate(aLINK_STREAM_IDENT, 0, 0);
  ASSERT_EQ(aLink_Init(streamLink, nullptr), streamLink);
  aLinkRef released = DeviceLink();
  aLinkRef gone = aLink_CreateClient(IPv4("127.0.0.1"), 1, 0);
  aLink_Destroy(&gone);
  size_t links = sRegistryCount();
  struct Row {
    const char* what;
    aLinkRef ref;
    bool port;
    bool interface;
  };
  const Row rows[] = {
      {"device 0", 0, true, true},         {"no port", device, false, true},
      {"no interface", device, true, false}, {"an unregistered link", 0xFFFFFF00u, true, true},
      {"a client link (type 4)", client, true, true}, {"a link of type 0", streamLink, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    uint16_t port = 7;
    uint32_t interface = IPv4("127.0.0.1");
    EXPECT_EQ(aLink_CreateServer(row.ref, row.port ? &port : nullptr, row.interface ? &interface : nullptr, true), 0u);
    EXPECT_EQ(port, 7);
    EXPECT_EQ(interface, IPv4("127.0.0.1"));
    EXPECT_EQ(sRegistryCount(), links);
  }
  // The device link is not served (a direct create shares it) and keeps the caller's two uses.
  aLinkRef shared = DeviceLink();
  EXPECT_EQ(shared, device);
  for (aLinkRef* ref : {&shared, &released, &client, &streamLink}) aLink_Destroy(ref);
  EXPECT_EQ(aLink_GetStatus(device), kLinkStatusRunning);
  EXPECT_EQ(GetValue(device), kSerial);
  aLink_Destroy(&device);
  ExpectAllBack();
}
