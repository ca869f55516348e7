// Requests, byte transfers and streams through a local-only link server, from raw DEALER
// clients in this process to the scripted simulated device and back.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Netns.h"
#include "PacketHelpers.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "unix_time.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

Bytes Echo(uint8_t id, uint8_t i) { return {0x08, 0x03, 0x17, id, i}; }
// A packet from the device: address 8 and this payload.
Bytes Reply(std::initializer_list<uint8_t> payload) {
  Bytes wire{0x08, static_cast<uint8_t>(payload.size())};
  for (uint8_t byte : payload) wire.push_back(byte);
  return wire;
}

// One message of client A or B at a time from the case's start; 'F' flushes instead. A step
// that needs the device to have the earlier requests first waits (boundedly) until it has
// received `afterDevicePackets` since the start: a slow client connection must not reorder them.
struct Step {
  uint32_t atMs;
  char who;
  Frames message;
  size_t afterDevicePackets = 0;
};
struct RouteRow {
  const char* name;
  std::vector<SimLinkScriptRow> script;
  std::vector<Step> steps;
  uint32_t listenMs;  // after the last step, and until A and B have as many frames as below
  Frames toA;         // all that A receives, in order
  Frames toB;
  Frames device;  // all that the device receives after the start
  uint32_t bNotBeforeMs = 0;  // B's first frame comes no earlier
};
void PrintTo(const RouteRow& row, std::ostream* out) { *out << row.name; }

// A full reply that continues.
Bytes Full31() { return TransferPacket(0x08, 0x31, 28, 0, true); }

const RouteRow kRouteRows[] = {
    {"FramesThatAreNoPacketsGoNowhere",
     {},
     {{0, 'A', {{0x08}}},
      {0, 'A', {Bytes(31, 0x08)}},
      {0, 'A', {{0x08, 0x0A, 1, 2, 3, 4, 5}}},
      {200, 'A', {{0x04, 0x00}}}},
     400,
     {{0x04, 0x00}},
     {},
     {{0x04, 0x00}}},
    {"ExtraFramesOfAMessageAreIgnored", {}, {{0, 'A', {Echo(1, 1), {0xEE, 0xEE}}}}, 400, {Echo(1, 1)}, {}, {Echo(1, 1)}},
    {"ForceRouteNeverReachesTheDevice",
     {},
     {{0, 'A', {{0xAF, 0x01, 0x01}}}, {100, 'A', {Echo(1, 2)}}},
     400,
     {Echo(1, 2)},
     {},
     {Echo(1, 2)}},
    {"RequestsOwedNoAnswerKeepNoSlot",
     {{{0x30}, 1, {}}},
     {{0, 'A', {{0xAF, 0x02, 0x01, 0x00}}},
      {0, 'A', {TransferPacket(0x08, 0x30, 28, 5, true)}},
      {200, 'B', {Echo(2, 1)}}},
     400,
     {},
     {Echo(2, 1)},
     {{0xAF, 0x02, 0x01, 0x00}, TransferPacket(0x08, 0x30, 28, 5, true), Echo(2, 1)}},
    {"BothRepliesOfARequestGoToItsClientFirst",
     {{{0x31}, -1, {{Full31(), 0}, {Reply({0x31, 0x02, 0x00}), 300}}}},
     {{0, 'A', {Reply({0x31, 0x01, 0x00})}}, {50, 'B', {Echo(2, 2)}, 1}},
     600,
     {Full31(), Reply({0x31, 0x02, 0x00})},
     {Echo(2, 2)},
     {Reply({0x31, 0x01, 0x00}), Echo(2, 2)},
     250},
    {"AnUnansweredRequestStallsTheNextForItsWaitOnly",
     {{{0x32}, -1, {}}},
     {{0, 'A', {Reply({0x32, 0x00, 0x00})}}, {50, 'B', {Echo(2, 3)}, 1}},
     2600,
     {},
     {Echo(2, 3)},
     {Reply({0x32, 0x00, 0x00}), Echo(2, 3)},
     1900},
    {"ALateReplyAnswersNoLaterRequest",
     {{{0x33}, -1, {{Reply({0x33, 0xAA, 0xAA}), 3000}}}},
     {{0, 'A', {Reply({0x33, 0x00, 0x00})}}, {4000, 'B', {Echo(2, 4)}, 1}},
     1000,
     {},
     {Echo(2, 4)},
     {Reply({0x33, 0x00, 0x00}), Echo(2, 4)}},
    {"AOneByteReplyReachesItsClient",
     {{{0x34}, -1, {{Reply({0x55}), 0}}}},
     {{0, 'A', {Reply({0x34, 0x00})}}, {200, 'A', {Echo(1, 5)}}, {400, 'B', {Echo(2, 5)}}},
     400,
     {Reply({0x55}), Echo(1, 5)},
     {Echo(2, 5)},
     {Reply({0x34, 0x00}), Echo(1, 5), Echo(2, 5)}},
    {"AfterAFlushAReplyStillOwedGoesToTheNextSlot",
     {{{0x35}, -1, {{Reply({0x35, 0xBB, 0xBB}), 1000}}}},
     {{0, 'A', {Reply({0x35, 0x00, 0x00})}}, {100, 'F', {}}, {200, 'B', {Echo(2, 6)}}},
     800,
     {},
     {Reply({0x35, 0xBB, 0xBB})},
     {Reply({0x35, 0x00, 0x00}), Echo(2, 6)}},
};

class ServerRouting : public testing::TestWithParam<RouteRow> {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
  }
};

// Device packets received from index `from` on.
Frames DeviceGot(const SimLinkDevice& device, size_t from) {
  Frames got;
  std::vector<SimLinkDevice::Received> packets = device.Packets();
  for (size_t i = from; i < packets.size(); ++i) got.push_back(packets[i].wire);
  return got;
}

}  // namespace

TEST_P(ServerRouting, EachClientGetsWhatTheTableSays) {
  const RouteRow& row = GetParam();
  ServedDevice served;
  ASSERT_EQ(served.startResult, aErrNone);
  served.device.SetScript(SimLinkScript(row.script));
  ASSERT_TRUE(served.device.WaitForRoutes(1, 2000));
  size_t base = served.device.Packets().size();
  RawDealer a(served.port());
  RawDealer b(served.port());

  Frames toA;
  Frames toB;
  uint64_t firstToB = 0;
  uint64_t start = aTime_GetMonotonicMS();
  uint64_t end = start + row.steps.back().atMs + row.listenMs;
  // A slow machine delivers later, not less: listen on until every frame owed has come.
  uint64_t bound = end + 10000;
  size_t next = 0;
  auto listening = [&](uint64_t now) {
    return now < bound && (now < end || next < row.steps.size() || toA.size() < row.toA.size() ||
                           toB.size() < row.toB.size());
  };
  for (uint64_t now = start; listening(now); now = aTime_GetMonotonicMS()) {
    while (next < row.steps.size() && now - start >= row.steps[next].atMs) {
      if (!served.device.WaitForPackets(base + row.steps[next].afterDevicePackets, 2000)) {
        ADD_FAILURE() << "the device never got the requests before step " << next;
      }
      const Step& step = row.steps[next++];
      if (step.who == 'F') {
        EXPECT_EQ(aServer_FlushFIFO(served.server), aErrNone);
      } else {
        EXPECT_TRUE((step.who == 'A' ? a : b).SendMessage(step.message));
      }
    }
    if (std::optional<Bytes> frame = a.Receive(1)) toA.push_back(*frame);
    if (std::optional<Bytes> frame = b.Receive(1)) {
      if (toB.empty()) firstToB = aTime_GetMonotonicMS() - start;
      toB.push_back(*frame);
    }
  }
  EXPECT_EQ(toA, row.toA);
  EXPECT_EQ(toB, row.toB);
  if (!toB.empty()) {
    EXPECT_GE(firstToB, row.bNotBeforeMs);
  }
  served.device.WaitForPackets(base + row.device.size(), 5000);
  EXPECT_EQ(DeviceGot(served.device, base), row.device);
}

INSTANTIATE_TEST_SUITE_P(Rows, ServerRouting, testing::ValuesIn(kRouteRows),
                         [](const testing::TestParamInfo<RouteRow>& info) { return std::string(info.param.name); });

namespace {

// A transfer's packets are answered once, after its last; by command 0x40 and 0x42.
SimLinkScript TransferScript() {
  return SimLinkScript({{{0x40}, 1, {}},
                        {{0x40}, 0, {{Reply({0x40, 0x00, 0x01}), 0}}},
                        {{0x42}, 1, {}},
                        {{0x42}, 0, {{Reply({0x42, 0x00, 0x02}), 0}}}});
}

Frames ThreePackets(uint8_t command, uint8_t fill = 0x5A) {
  return {TransferPacket(0x08, command, 28, 0, true, fill), TransferPacket(0x08, command, 28, 1, true, fill),
          TransferPacket(0x08, command, 10, 2, false, fill)};
}

class ServerTransfers : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
    ASSERT_EQ(served_.startResult, aErrNone);
    served_.device.SetScript(TransferScript());
    ASSERT_TRUE(served_.device.WaitForRoutes(1, 2000));
    base_ = served_.device.Packets().size();
  }

  ServedDevice served_;
  size_t base_ = 0;
};

}  // namespace

TEST_F(ServerTransfers, AThreePacketTransferReachesTheDeviceBackToBackAfterItsLastPacket) {
  RawDealer client(served_.port());
  Frames transfer = ThreePackets(0x40);
  ASSERT_TRUE(client.Send(transfer[0]));
  ASSERT_TRUE(client.Send(transfer[1]));
  aTime_MSSleep(300);
  EXPECT_EQ(served_.device.Packets().size(), base_);
  uint64_t lastSent = aTime_GetMonotonicMS();
  ASSERT_TRUE(client.Send(transfer[2]));
  ASSERT_TRUE(served_.device.WaitForPackets(base_ + 3, 2000));
  std::vector<SimLinkDevice::Received> packets = served_.device.Packets();
  ASSERT_EQ(packets.size(), base_ + 3);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(packets[base_ + i].wire, transfer[i]);
    EXPECT_GE(packets[base_ + i].atMs, lastSent);
  }
  // Far less than the 300 ms pause before the last packet, with room for a loaded machine.
  EXPECT_LT(packets[base_ + 2].atMs - packets[base_].atMs, 250u);
  EXPECT_EQ(client.ReceiveFrames(1, 5000, 300), Frames{Reply({0x40, 0x00, 0x01})});
}

TEST_F(ServerTransfers, A130PacketTransferWithItsSequenceWrappingArrivesWhole) {
  Bytes data(3100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  Frames transfer = TransferPackets(0x08, 0x40, data);
  ASSERT_EQ(transfer.size(), 130u);
  RawDealer client(served_.port());
  for (const Bytes& packet : transfer) ASSERT_TRUE(client.Send(packet));
  ASSERT_TRUE(served_.device.WaitForPackets(base_ + 130, 3000));
  EXPECT_EQ(DeviceGot(served_.device, base_), transfer);
  EXPECT_EQ(client.ReceiveFrames(1, 5000, 300), Frames{Reply({0x40, 0x00, 0x01})});
}

TEST_F(ServerTransfers, AfterASequenceMixUpTheNextTransferAndGetAreAnswered) {
  RawDealer client(served_.port());
  Frames broken = ThreePackets(0x40);
  ASSERT_TRUE(client.Send(broken[0]));
  ASSERT_TRUE(client.Send(TransferPacket(0x08, 0x40, 28, 2, true)));
  for (const Bytes& packet : ThreePackets(0x40, 0x77)) ASSERT_TRUE(client.Send(packet));
  std::optional<Bytes> transferAnswer = client.Receive(3000);
  EXPECT_EQ(transferAnswer, Reply({0x40, 0x00, 0x01}));
  Bytes get{0x08, 0x04, 0x41, 0x41, 0x20, 0x01};
  ASSERT_TRUE(client.Send(get));
  EXPECT_EQ(client.Receive(3000), get);
  EXPECT_TRUE(client.ReceiveFor(300).empty());
}

TEST_F(ServerTransfers, TwoClientsInterleavingTransfersEachGetTheirOwnPool) {
  RawDealer a(served_.port());
  RawDealer b(served_.port());
  Frames fromA = ThreePackets(0x40, 0xAA);
  Frames fromB = ThreePackets(0x42, 0xBB);
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(a.Send(fromA[i]));
    aTime_MSSleep(20);
    ASSERT_TRUE(b.Send(fromB[i]));
    aTime_MSSleep(20);
  }
  EXPECT_EQ(a.ReceiveFrames(1, 5000, 300), Frames{Reply({0x40, 0x00, 0x01})});
  EXPECT_EQ(b.ReceiveFrames(1, 5000, 100), Frames{Reply({0x42, 0x00, 0x02})});
  // Each transfer whole; which comes first is which last packet the server read first, and
  // on a loaded machine the two connections may pass each other.
  Frames aFirst = fromA;
  aFirst.insert(aFirst.end(), fromB.begin(), fromB.end());
  Frames bFirst = fromB;
  bFirst.insert(bFirst.end(), fromA.begin(), fromA.end());
  Frames got = DeviceGot(served_.device, base_);
  EXPECT_TRUE(got == aFirst || got == bFirst) << testing::PrintToString(got);
}

// 200 stream packets between two heartbeats: a batch above 4065 bytes, then the rest at the
// heartbeat, to every client that enabled streaming, once each.
TEST(ServerStreams, BatchesGoToEverySubscriberOnce) {
  RequirePrivateNetns();
  StartMessageLibrary();
  ServedDevice served;
  ASSERT_EQ(served.startResult, aErrNone);
  Bytes enable{0x08, 0x07, 0x5D, 0x81, 0x01, 0, 0, 0, 0};
  Bytes other{0x08, 0x07, 0x5D, 0x82, 0x01, 0, 0, 0, 0};
  RawDealer once(served.port());
  RawDealer twice(served.port());
  RawDealer never(served.port());
  RawDealer unknown(served.port());
  // The device link's route-on packet is not one of the clients'.
  ASSERT_TRUE(served.device.WaitForRoutes(1, 2000));
  size_t base = served.device.Packets().size();
  struct Enable {
    RawDealer* client;
    Bytes request;
  };
  for (const Enable& e : {Enable{&once, enable}, Enable{&twice, enable}, Enable{&twice, enable},
                          Enable{&unknown, other}, Enable{&never, Echo(3, 1)}}) {
    ASSERT_TRUE(e.client->Send(e.request));
    ASSERT_EQ(e.client->Receive(3000), e.request);
  }
  // Both enables of one client, and the unknown one, reached the device.
  EXPECT_EQ(DeviceGot(served.device, base), (Frames{enable, enable, enable, other, Echo(3, 1)}));

  Bytes stream;
  for (int i = 0; i < 200; ++i) {
    Bytes packet = StreamPacketBytes(0x08, static_cast<uint8_t>(i));
    stream.insert(stream.end(), packet.begin(), packet.end());
  }
  served.device.SendRaw(stream);
  EXPECT_EQ(served.device.Heartbeat(0, 3000), SimLinkDevice::HeartbeatResult::kAnswered);
  Frames batches{Bytes(stream.begin(), stream.begin() + 4080), Bytes(stream.begin() + 4080, stream.end())};
  EXPECT_EQ(once.ReceiveFrames(batches.size(), 5000, 300), batches);
  EXPECT_EQ(twice.ReceiveFrames(batches.size(), 5000, 100), batches);
  EXPECT_TRUE(never.ReceiveFor(100).empty());
  EXPECT_TRUE(unknown.ReceiveFor(100).empty());
}
