// Link request exchange through a Module's Link over loopback TCP: the entity protocol in
// every form, byte sequences, raw packets and the module address query, against the simulated
// device's entity table and faults.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "FileText.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "TempDir.h"
#include "aLinkInternal.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;

uei Request(uint8_t option, uint8_t index, int type, uint32_t value) {
  uei record{};
  record.module = 6;
  record.command = 3;
  record.option = option;
  record.index = index;
  record.type = type;
  record.value.intVal = 0;
  switch (type) {
    case ueiTypeByte:
      record.value.byteVal = static_cast<uint8_t>(value);
      break;
    case ueiTypeShort:
      record.value.shortVal = static_cast<uint16_t>(value);
      break;
    default:
      record.value.intVal = value;
  }
  return record;
}

// A record to wait with; type and value hold marks that only a decoded reply changes.
uei Awaiting(uint8_t module, uint8_t option, uint8_t index) {
  uei record{};
  record.module = module;
  record.command = 3;
  record.option = option;
  record.index = index;
  record.type = -1;
  record.value.intVal = 0xDEADBEEF;
  return record;
}

uint32_t ValueOf(const uei& record) {
  switch (record.type) {
    case ueiTypeByte:
      return record.value.byteVal;
    case ueiTypeShort:
      return record.value.shortVal;
    default:
      return record.value.intVal;
  }
}

class LinkRequests : public testing::Test {
 protected:
  void SetUp() override {
    // The entity table loads the device's module network: from here on it answers.
    rig_.network().SetEntity(6, {3, 9, 0}, {SimWidth::kInt, 0x12345678});
    ASSERT_EQ(rig_.Connect(), aErrNone);
    ASSERT_EQ(rig_.module.getModuleAddress(), 6);
  }

  Link& link() { return rig_.link(); }
  SimNetwork& network() { return rig_.network(); }
  SimLinkDevice& device() { return rig_.sim.device; }

  // The wire forms the device received since `from`, once `count` of them have come.
  std::vector<std::vector<uint8_t>> Received(size_t from, size_t count) {
    EXPECT_TRUE(device().WaitForPackets(from + count, kBound));
    return ReceivedSince(device(), from);
  }

  // Puts nothing on the wire: what follows it is the echo alone.
  void ExpectNothingSentSince(size_t from) {
    ASSERT_TRUE(EchoesThrough(link(), 6, 0x77));
    std::vector<std::vector<uint8_t>> got = ReceivedSince(device(), from);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], HexBytes("06 02 17 77"));
  }

  TcpModuleRig rig_;
};

}  // namespace

TEST_F(LinkRequests, EveryFormOfGetSetAndCall) {
  struct Row {
    const char* what;
    SimEntityKey key;
    SimEntity entity;
    std::optional<SimFault> fault;
    uei request;
    int subindex;  // -1: none
    std::string wire;
    uint8_t replyOption;
    int type;  // decoded; -1: unchanged
    uint32_t value;
    uint8_t index;
    std::optional<uint32_t> stored;
  };
  const uint32_t kUnchanged = 0xDEADBEEF;
  const SimEntity kByte{SimWidth::kByte, 0xAB}, kShort{SimWidth::kShort, 0x1234}, kInt{SimWidth::kInt, 0x12345678};
  const Row rows[] = {
      {"get, none", {3, 9, 1}, {SimWidth::kNone}, {}, Request(0x49, 0x21, 0, 0), -1, "06 03 03 49 21", 9, 0, kUnchanged, 1, {}},
      {"get, 8 bits", {3, 9, 0}, kByte, {}, Request(0x49, 0x20, 0, 0), -1, "06 03 03 49 20", 9, 1, 0xAB, 0, {}},
      {"get, 16 bits", {3, 9, 0}, kShort, {}, Request(0x49, 0x20, 0, 0), -1, "06 03 03 49 20", 9, 2, 0x1234, 0, {}},
      {"get, 32 bits", {3, 9, 0}, kInt, {}, Request(0x49, 0x20, 0, 0), -1, "06 03 03 49 20", 9, 4, 0x12345678, 0, {}},
      {"set, 8 bits", {3, 9, 0}, kByte, {}, Request(0x89, 0x20, 1, 0x5A), -1, "06 04 03 89 20 5A", 0xC9, 0, kUnchanged, 0, 0x5A},
      {"set, 16 bits", {3, 9, 0}, kShort, {}, Request(0x89, 0x20, 2, 0xBEEF), -1, "06 05 03 89 20 BE EF", 0xC9, 0, kUnchanged, 0, 0xBEEF},
      {"set, 32 bits", {3, 9, 0}, kInt, {}, Request(0x89, 0x20, 4, 0xCAFEF00D), -1, "06 07 03 89 20 CA FE F0 0D", 0xC9, 0, kUnchanged, 0, 0xCAFEF00D},
      {"call", {3, 12, 1}, {SimWidth::kNone}, {}, Request(0x8C, 0x21, 0, 0), -1, "06 03 03 8C 21", 0xCC, 0, kUnchanged, 1, {}},
      {"subindexed get", {3, 10, 0, 2}, kShort, {}, Request(0x4A, 0x20, 0, 0), 2, "06 04 03 4A 20 02", 10, 2, 0x1234, 0, {}},
      {"subindexed set", {3, 10, 0, 3}, kInt, {}, Request(0x8A, 0x20, 4, 0xCAFEF00D), 3, "06 08 03 8A 20 03 CA FE F0 0D", 0xCA, 0, kUnchanged, 0, 0xCAFEF00D},
      {"error reply", {3, 9, 0}, {SimWidth::kInt, 0, {}, 0x15}, {}, Request(0x49, 0x20, 0, 0), -1, "06 03 03 49 20", 9, -1, 0xDEADBE15, 0x80, {}},
      {"error reply without its code", {3, 9, 0}, kInt, SimFault::ErrorWithoutCode(), Request(0x49, 0x20, 0, 0), -1, "06 03 03 49 20", 9, -1, 0xDEADBE00 | aErrUnknown, 0x80, {}},
      {"a 6-byte reply", {3, 9, 0}, kInt, SimFault::Length(6), Request(0x49, 0x20, 0, 0), -1, "06 03 03 49 20", 9, -1, kUnchanged, 0, {}},
  };
  for (const Row& row : rows) {
    network().SetEntity(6, row.key, row.entity);
    if (row.fault) {
      network().AddFault({3}, *row.fault);
    }
    size_t from = device().PacketCount();
    aErr sent = row.subindex < 0 ? link().sendUEI(row.request) : link().sendUEI(row.request, static_cast<uint8_t>(row.subindex));
    ASSERT_EQ(sent, aErrNone) << row.what;
    uei reply = Awaiting(6, row.replyOption, row.key.index);
    ASSERT_EQ(link().receiveUEI(6, 3, row.replyOption, row.key.index, &reply), aErrNone) << row.what;
    EXPECT_EQ(Received(from, 1), std::vector<std::vector<uint8_t>>{HexBytes(row.wire)}) << row.what;
    EXPECT_EQ(reply.type, row.type) << row.what;
    EXPECT_EQ(row.type < 0 ? reply.value.intVal : ValueOf(reply), row.value) << row.what;
    EXPECT_EQ(reply.index, row.index) << row.what;
    if (row.stored) {
      EXPECT_EQ(network().Entity(6, row.key)->value, *row.stored) << row.what;
    }
  }
}

TEST_F(LinkRequests, ByteSequenceSetsArriveWholeWithOneAcknowledgement) {
  const SimEntityKey key{3, 20, 0};
  struct Row {
    size_t size;
    std::vector<uint8_t> trailers;  // of the packets, in order; empty: not listed
  };
  const Row rows[] = {
      {0, {0x00}}, {24, {0x00}}, {25, {0x80, 0x01}}, {100, {0x80, 0x81, 0x82, 0x83, 0x04}}, {3100, {}},
  };
  for (const Row& row : rows) {
    network().SetEntity(6, key, {SimWidth::kBytes});
    std::vector<uint8_t> data(row.size);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    size_t from = device().PacketCount();
    size_t acksBefore = network().SentReplies().size();
    uei request = Request(0x94, 0x20, ueiTypeBytes, 0);
    request.value.data = data.data();
    request.length = data.size();
    ASSERT_EQ(link().sendUEI(request), aErrNone) << row.size;
    uei ack = Awaiting(6, 0xD4, 0);
    ack.type = ueiTypeBytes;
    ack.length = data.size();
    ASSERT_EQ(link().receiveUEI(6, 3, 0xD4, 0, &ack), aErrNone) << row.size;
    EXPECT_EQ(ack.index, 0) << "not an error reply";

    size_t packets = row.size == 0 ? 1 : (row.size + 23) / 24;
    std::vector<std::vector<uint8_t>> wires = Received(from, packets);
    ASSERT_EQ(wires.size(), packets) << row.size;
    std::vector<uint8_t> trailers;
    for (const std::vector<uint8_t>& wire : wires) {
      ASSERT_GE(wire.size(), 6u);
      EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 2, wire.begin() + 5), HexBytes("03 94 20"));
      trailers.push_back(wire.back());
    }
    if (!row.trailers.empty()) {
      EXPECT_EQ(trailers, row.trailers) << row.size;
    }
    if (row.size == 3100) {
      EXPECT_EQ(trailers[127], 0xFF);
      EXPECT_EQ(trailers[128], 0x80) << "the 129th packet carries sequence 0 again";
      EXPECT_EQ(trailers.back(), 129 % 128);
    }
    EXPECT_EQ(wires.back().size(), row.size == 0 ? 6u : 2 + 4 + (row.size - 24 * (packets - 1)));
    EXPECT_EQ(network().Entity(6, key)->bytes, data) << row.size;
    std::vector<SimNetwork::Sent> sent = network().SentReplies();
    ASSERT_EQ(sent.size(), acksBefore + 1) << row.size;
    EXPECT_EQ(sent.back().payload, HexBytes("03 D4 00"));
  }
}

TEST_F(LinkRequests, ByteSequenceGetsComeInTrailedPackets) {
  const SimEntityKey key{3, 21, 0};
  std::vector<uint8_t> bytes(50);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  network().SetEntity(6, key, {SimWidth::kBytes, 0, bytes});
  struct Row {
    const char* what;
    std::optional<SimFault> fault;
    std::vector<uint8_t> trailers;
  };
  const Row rows[] = {
      {"in order", {}, {0x80, 0x81, 0x02}},
      {"a repeated sequence number", SimFault::SequenceOff(-1), {0x80, 0x80, 0x02}},
      {"a skipped sequence number", SimFault::SequenceOff(1), {0x80, 0x82, 0x02}},
  };
  for (const Row& row : rows) {
    if (row.fault) {
      network().AddFault({3, 0x55}, *row.fault);
    }
    ASSERT_EQ(link().sendUEI(Request(0x55, 0x20, 0, 0)), aErrNone) << row.what;
    std::vector<uint8_t> trailers, data;
    for (size_t packet = 0; packet < row.trailers.size(); ++packet) {
      const uint8_t match[] = {3, 21, 0};
      uint8_t length = sizeof match;
      uint8_t out[28];
      ASSERT_EQ(link().receivePacket(6, match, &length, out), aErrNone) << row.what;
      ASSERT_GE(length, 4) << row.what;
      data.insert(data.end(), out + 3, out + length - 1);
      trailers.push_back(out[length - 1]);
    }
    EXPECT_EQ(trailers, row.trailers) << row.what;
    EXPECT_EQ(data, bytes) << row.what;
  }
}

TEST_F(LinkRequests, PooledByteSequenceArrivesWholeAndInOrder) {
  TempDir dir;
  const SimEntityKey key{3, 20, 0};
  network().SetEntity(6, key, {SimWidth::kBytes});
  ASSERT_EQ(link().enablePooledPackets(true), aErrNone);
  ASSERT_EQ(link().enablePacketLog((dir / "log").c_str()), aErrNone);
  std::vector<uint8_t> data(3100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
  uei request = Request(0x94, 0x20, ueiTypeBytes, 0);
  request.value.data = data.data();
  request.length = data.size();
  ASSERT_EQ(link().sendUEI(request), aErrNone);
  uei ack = Awaiting(6, 0xD4, 0);
  ack.type = ueiTypeBytes;
  ack.length = data.size();
  ASSERT_EQ(link().receiveUEI(6, 3, 0xD4, 0, &ack), aErrNone);
  // The device checks every sequence number: out of order it would have sent an error.
  EXPECT_EQ(ack.index, 0);
  EXPECT_EQ(network().Entity(6, key)->bytes, data);

  // A batch is logged as one sent record.
  std::string ackLine = "5 < 0x6 0x3 0x3 0xD4 0x0 \r\n";
  ASSERT_TRUE(Eventually([&] { return ReadText(dir / "log").find(ackLine) != std::string::npos; }, kBound));
  std::string log = ReadText(dir / "log");
  size_t sentRecords = 0;
  for (size_t at = log.find(" > "); at != std::string::npos; at = log.find(" > ", at + 1)) ++sentRecords;
  EXPECT_GT(sentRecords, 0u);
  EXPECT_LT(sentRecords, 130u);
}

TEST_F(LinkRequests, RawPacketsOutAndIn) {
  std::vector<uint8_t> data(28);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  struct Send {
    const char* what;
    uint8_t address;
    uint8_t length;
    const uint8_t* data;
    aErr result;
  };
  const Send sends[] = {
      {"27 data bytes: a full payload", 6, 27, data.data(), aErrNone},
      {"28 data bytes", 6, 28, data.data(), aErrParam},
      {"no data, length 3", 6, 3, nullptr, aErrParam},
      {"address 0", 0, 1, data.data(), aErrPacket},
      {"odd address", 7, 1, data.data(), aErrPacket},
  };
  for (const Send& row : sends) {
    size_t from = device().PacketCount();
    EXPECT_EQ(link().sendPacket(row.address, 0x33, row.length, row.data), row.result) << row.what;
    if (row.result != aErrNone) {
      ExpectNothingSentSince(from);
      continue;
    }
    std::vector<uint8_t> wire{6, 28, 0x33};
    wire.insert(wire.end(), data.begin(), data.begin() + 27);
    EXPECT_EQ(Received(from, 1)[0], wire) << row.what;
  }

  // The sender is not compared: a reply from another module is taken.
  network().SetClassQuantity(6, 1, 4);
  network().AddFault({0x49}, SimFault::Sender(8));
  const uint8_t query[] = {0x04, 0x01};
  ASSERT_EQ(link().sendPacket(6, 0x49, sizeof query, query), aErrNone);
  const uint8_t match[] = {0x49};
  uint8_t length = 1;
  uint8_t out[28] = {};
  ASSERT_EQ(link().receivePacket(6, match, &length, out), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(out, out + length), HexBytes("49 04 01 04"));

  uint8_t tooMany = 29;
  EXPECT_EQ(link().receivePacket(6, data.data(), &tooMany, out), aErrParam);
  length = 1;
  EXPECT_EQ(link().receivePacket(6, match, nullptr, out), aErrParam);
  EXPECT_EQ(link().receivePacket(6, match, &length, nullptr), aErrParam);
  EXPECT_EQ(link().receivePacket(6, nullptr, &length, out), aErrParam);
  EXPECT_EQ(link().receivePacket(5, match, &length, out), aErrPacket);
}

TEST_F(LinkRequests, ASilentDeviceTimesOut) {
  device().SetSilent(true);
  struct Row {
    const char* what;
    std::function<aErr()> call;
    aErr result;
  };
  uint8_t address = 0x55;
  uei reply = Awaiting(6, 9, 0);
  const uint8_t match[] = {0x49};
  uint8_t length = 1, out[28];
  const Row rows[] = {
      {"receiveUEI", [&] { return link().receiveUEI(6, 3, 9, 0, &reply); }, aErrTimeout},
      {"receivePacket", [&] { return link().receivePacket(6, match, &length, out); }, aErrTimeout},
      {"getModuleAddress", [&] { return link().getModuleAddress(&address); }, aErrNotReady},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(link().sendUEI(Request(0x49, 0x20, 0, 0)), aErrNone);
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(row.call(), row.result) << row.what;
    uint64_t took = aTime_GetMonotonicMS() - start;
    EXPECT_GE(took, 950u) << row.what;
    EXPECT_LT(took, 2000u) << row.what;
  }
  EXPECT_EQ(address, 0);
  EXPECT_EQ(reply.value.intVal, 0xDEADBEEFu);
}

TEST_F(LinkRequests, RepliesThatNoWaitTookStayQueued) {
  // From another module: not the reply the record describes.
  network().AddFault({3, 0x49}, SimFault::Sender(8));
  ASSERT_EQ(link().sendUEI(Request(0x49, 0x20, 0, 0)), aErrNone);
  uei reply = Awaiting(6, 9, 0);
  EXPECT_EQ(link().receiveUEI(6, 3, 9, 0, &reply), aErrTimeout);
  uei fromEight = Awaiting(8, 9, 0);
  EXPECT_EQ(link().receiveUEI(8, 3, 9, 0, &fromEight), aErrNone);
  EXPECT_EQ(fromEight.value.intVal, 0x12345678u);

  // Too late for its wait: the next matching wait takes it, unless it is dropped first.
  for (bool drop : {false, true}) {
    network().AddFault({3, 0x49}, SimFault::Late(1300));
    ASSERT_EQ(link().sendUEI(Request(0x49, 0x20, 0, 0)), aErrNone);
    reply = Awaiting(6, 9, 0);
    EXPECT_EQ(link().receiveUEI(6, 3, 9, 0, &reply), aErrTimeout) << drop;
    // The echo queues behind the late reply in the device's output.
    ASSERT_TRUE(EchoesThrough(link(), 6, 1)) << drop;
    if (drop) {
      EXPECT_EQ(link().dropMatchingUEIPackets(6, 3, 9, 0), aErrNone);
    }
    reply = Awaiting(6, 9, 0);
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(link().receiveUEI(6, 3, 9, 0, &reply), drop ? aErrTimeout : aErrNone) << drop;
    if (!drop) {
      // Taken from the queue, not waited for: well under the wait's 1000 ms.
      EXPECT_LT(aTime_GetMonotonicMS() - start, 500u);
      EXPECT_EQ(reply.value.intVal, 0x12345678u);
    }
  }
}

TEST_F(LinkRequests, RequestsThatCannotBeSentSendNothing) {
  std::vector<uint8_t> bytes(10, 1);
  struct Row {
    const char* what;
    uei request;
    int subindex;
    aErr result;
  };
  uei sequenceWithoutData = Request(0x94, 0x20, ueiTypeBytes, 0);
  sequenceWithoutData.value.data = nullptr;
  sequenceWithoutData.length = 10;
  uei sequence = Request(0x94, 0x20, ueiTypeBytes, 0);
  sequence.value.data = bytes.data();
  sequence.length = bytes.size();
  uei toZero = Request(0x49, 0x20, 0, 0);
  toZero.module = 0;
  uei toOdd = Request(0x49, 0x20, 0, 0);
  toOdd.module = 7;
  const Row rows[] = {
      {"type 3", Request(0x89, 0x20, 3, 1), -1, aErrParam},
      {"type 6", Request(0x89, 0x20, 6, 1), -1, aErrParam},
      {"type -1", Request(0x89, 0x20, -1, 1), -1, aErrParam},
      {"a byte sequence without data", sequenceWithoutData, -1, aErrParam},
      {"a subindexed byte sequence", sequence, 2, aErrParam},
      {"a subindexed type 3", Request(0x89, 0x20, 3, 1), 2, aErrParam},
      {"module 0", toZero, -1, aErrPacket},
      {"odd module", toOdd, -1, aErrPacket},
  };
  for (const Row& row : rows) {
    size_t from = device().PacketCount();
    aErr result = row.subindex < 0 ? link().sendUEI(row.request)
                                   : link().sendUEI(row.request, static_cast<uint8_t>(row.subindex));
    EXPECT_EQ(result, row.result) << row.what;
    ExpectNothingSentSince(from);
  }
  uei reply = Awaiting(6, 9, 0);
  EXPECT_EQ(link().receiveUEI(6, 3, 9, 0, nullptr), aErrParam);
  EXPECT_EQ(link().receiveUEI(6, 3, 9, 0, &reply, nullptr), aErrParam);
  EXPECT_EQ(link().receiveUEI(0, 3, 9, 0, &reply), aErrPacket);
  EXPECT_EQ(link().dropMatchingUEIPackets(9, 3, 9, 0), aErrPacket);
  EXPECT_EQ(link().getModuleAddress(nullptr), aErrParam);
}

TEST_F(LinkRequests, AFailedPutIsReported) {
  // The outbound queue goes away under the running link: every put fails, as during another
  // holder's reset.
  aLink* engine = sGetLink(heldLinkRef(link()));
  ASSERT_NE(engine, nullptr);
  aPacketFifoId outbound = engine->outFifo;
  ASSERT_EQ(aPacketFifo_Destroy(&outbound), aErrNone);
  ASSERT_TRUE(link().isConnected());
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(link().sendPacket(6, 0x17, sizeof data, data), aErrNotReady);
  EXPECT_EQ(link().sendUEI(Request(0x49, 0x20, 0, 0)), aErrNotReady);
}
