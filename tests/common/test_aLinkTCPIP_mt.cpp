// TCP/IP links: the socket stream under the link engine, with the simulated device behind the
// kit's loopback listener.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "LinkEcho.h"
#include "Eventually.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "SimLinkTcpSide.h"
#include "SocketCallHook.h"
#include "TcpDeviceListener.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "aStreamsocket.h"
#include "unix_time.h"

namespace {

constexpr uint64_t kBound = 5000;  // ms; generous bound for anything that should be quick
constexpr uint32_t kSerial = 0x0000ABCD;

// The simulated device on its own loopback port; it keeps its state across connections.
struct TcpDevice {
  TcpDevice() { device.SetEcho(true); }
  SimLinkDevice device;
  SimLinkTcpSide side{device};
  TcpDeviceListener listener{&side};

  aLinkRef Create(uint32_t serial = kSerial) {
    return aLink_CreateTCPIP(serial, TcpDeviceListener::address(), listener.port());
  }
};

uint8_t sConsumeAll(const aPacket*, void*) { return 1; }

uint64_t MsSince(uint64_t start) { return aTime_GetMonotonicMS() - start; }

TEST(TcpLink, CreateShareAndRelease) {
  TcpDevice d;
  TcpDevice elsewhere;
  int threads = CountThreads();
  int descriptors = CountOpenDescriptors();

  aLinkRef ref = d.Create();
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(d.device.WaitForRoutes(1, kBound));
  EXPECT_EQ(d.device.RoutePackets()[0], HexBytes("AF 01 01"));
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(LinkEcho(ref, i)) << "exchange " << i;
  EXPECT_EQ(d.device.Heartbeat(0, kBound), SimLinkDevice::HeartbeatResult::kAnswered);
  EXPECT_EQ(d.device.SyncCount(), 0u) << "a TCP/IP create runs no handshake";

  // Found by serial number: another port gives the same link over the same connection.
  aLinkRef again = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), elsewhere.listener.port());
  EXPECT_EQ(again, ref);
  EXPECT_EQ(d.listener.accepts(), 1u);
  EXPECT_EQ(elsewhere.listener.accepts(), 0u);

  aLinkRef first = ref;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(ref, 1000));

  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  ASSERT_TRUE(d.listener.WaitForEnd(1, kBound));
  EXPECT_EQ(d.listener.end(1), TcpDeviceListener::kPeerReset);
  // Read before the reset reached the device.
  EXPECT_EQ(d.device.RoutePackets().back(), HexBytes("AF 01 00"));
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusInvalid);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }));
  EXPECT_TRUE(d.listener.WaitUntilIdle(kBound));
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
}

TEST(TcpLink, FailedCreateRegistersNothingAndUsesUpItsId) {
  TcpDevice d;
  TcpDevice gone;
  gone.listener.StopListening();
  int threads = CountThreads();
  int descriptors = CountOpenDescriptors();
  size_t registered = sRegistryCount();

  aLinkRef ref = d.Create(0x11111111);
  ASSERT_NE(ref, 0u);
  aLinkRef drew = ref + 1;
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);

  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(gone.Create(0x22222222), 0u);
  EXPECT_LT(MsSince(start), 1000u) << "nothing listening fails at once";
  EXPECT_EQ(sRegistryCount(), registered);

  ref = d.Create(0x11111111);
  EXPECT_EQ(ref, drew + 1);
  EXPECT_TRUE(LinkEcho(ref, 1));
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }));
  EXPECT_TRUE(d.listener.WaitUntilIdle(kBound));
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
}

TEST(TcpLink, DeviceResetIsMendedByTheNextRead) {
  TcpDevice d;
  aLinkRef ref = d.Create();
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(LinkEcho(ref, 1));
  d.listener.ResetConnection();
  ASSERT_TRUE(d.listener.WaitForAccepts(2, kBound)) << "the reader makes the connection again";
  EXPECT_TRUE(LinkEcho(ref, 2));
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_EQ(d.listener.accepts(), 2u);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

TEST(TcpLink, DeviceCloseIdlesUntilAResetMakesItAnew) {
  TcpDevice d;
  aLinkRef ref = d.Create();
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(LinkEcho(ref, 1));
  // What the reset must drop: a queued packet, a filter that takes everything, pooled mode.
  d.device.SendRaw(HexBytes("08 01 77"));
  ASSERT_TRUE(Eventually([&] {
    aLink* link = sGetLink(ref);
    return link != nullptr && aPacketFifo_GetLength(link->inFifo) == 1;
  }));
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref, sConsumeAll, nullptr), aErrNone);
  ASSERT_EQ(aLink_EnablePooledPackets(ref, true), aErrNone);

  d.listener.CloseConnection();
  aTime_MSSleep(100);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  // The closed socket stays readable; the reader must not spin on it.
  uint64_t receives = RecvCount();
  aTime_MSSleep(1000);
  EXPECT_LT(RecvCount() - receives, 300u);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_EQ(d.listener.accepts(), 1u);

  aLinkRef same = ref;
  EXPECT_EQ(aLink_Reset(ref), aErrNone);
  EXPECT_EQ(ref, same);
  EXPECT_TRUE(d.listener.WaitForAccepts(2, kBound));
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);
  EXPECT_EQ(sGetLink(ref)->pooled.load(), 0);
  EXPECT_TRUE(LinkEcho(ref, 2)) << "the filter is gone";
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

TEST(TcpLink, ResetWhileTheDeviceIsAwayStopsTheLinkUntilItIsBack) {
  TcpDevice d;
  int threads = CountThreads();
  aLinkRef ref = d.Create();
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(LinkEcho(ref, 1));
  d.listener.StopListening();
  d.listener.CloseConnection();

  uint64_t connects = ConnectCount();
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Reset(ref), aErrResource);
  uint64_t ms = MsSince(start);
  // Its 20 tries, counted: a connect each, refused at once, 100 ms apart. No try waits out the
  // 5 s connect bound.
  EXPECT_EQ(ConnectCount() - connects, 20u);
  EXPECT_GE(ms, 1800u);
  EXPECT_LT(ms, 6000u);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusInvalid);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; })) << "no link threads";
  PacketPtr request(aPacket_CreateWithData(0x08, 1, HexBytes("10").data()));
  EXPECT_EQ(aLink_PutPacket(ref, request.get()), aErrNone) << "a stopped link keeps its FIFOs";

  ASSERT_TRUE(d.listener.ListenAgain());
  EXPECT_EQ(aLink_Reset(ref), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(ref, 2));
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }));
}

TEST(TcpLink, ResetOfALinkOverTheCallersStreamIsRefused) {
  TcpDevice d;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), d.listener.port(), &stream), aErrNone);
  aLinkRef ref = aLink_Create(stream);
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(LinkEcho(ref, 1));
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Reset(ref), aErrParam);
  EXPECT_LT(MsSince(start), 1000u);  // refused before its 2 s of tries
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(ref, 2));
  EXPECT_EQ(d.listener.accepts(), 1u);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

// Entries of the types that have no stream maker yet, each refused before it is touched.
TEST(TcpLink, ResetRefusalsByType) {
  struct Case {
    uint32_t type;
    aErr result;
  };
  // Client links (types 4 to 7) are made again: test_aStreamClient_mt.
  const Case cases[] = {{SERIAL, aErrParam}, {9, aErrParam}};
  for (const Case& c : cases) {
    aLinkRef ref = sCreate(0x12345678, 0, c.type);
    ASSERT_NE(ref, 0u);
    ASSERT_EQ(aLink_Init(ref, nullptr), ref);
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(aLink_Reset(ref), c.result) << "type " << c.type;
    EXPECT_LT(MsSince(start), 1000u);
    EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusInvalid);
    EXPECT_NE(sGetLink(ref)->inFifo.load(), 0u) << "untouched";
    EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  }

  aLinkRef released = sCreate(0x12345678, 0, TCPIP);
  ASSERT_NE(released, 0u);
  aLink_Init(released, nullptr);
  aLinkRef copy = released;
  aLink_Destroy(&copy);
  for (aLinkRef ref : {aLinkRef{0}, aLinkRef{0xFFFFFF00u}, released}) EXPECT_EQ(aLink_Reset(ref), aErrParam);
}

}  // namespace
