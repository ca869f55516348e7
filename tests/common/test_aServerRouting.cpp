// The link server's routing decisions without sockets: what the broker does with client
// frames, the worker's outcomes and stream batches, and how the worker serves one request.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PacketHelpers.h"
#include "aServerRouting.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

serverIdentity Id(const char* name) { return serverIdentity(name, name + strlen(name)); }

const serverIdentity kA = Id("A");
const serverIdentity kB = Id("B");

struct RoutingDestroyer {
  void operator()(serverRouting* routing) const { serverRouting_Destroy(&routing); }
};

// The broker's state with a sink that records what goes where; hand-offs fail where asked.
class Broker {
 public:
  struct Sent {
    serverIdentity to;
    Bytes frame;
    bool operator==(const Sent&) const = default;
  };

  std::function<bool(size_t handOff)> handOffWorks = [](size_t) { return true; };
  Frames handedOff;  // the successful ones, in order
  size_t handOffs = 0;
  std::vector<Sent> sent;

  serverRouting* routing() { return routing_.get(); }
  size_t slots() { return routing_->replySlots.size(); }

  void Request(const serverIdentity& from, const Bytes& frame) {
    serverRouting_ClientRequest(routing(), from, frame.data(), frame.size(), Sink());
  }
  void Requests(const serverIdentity& from, const Frames& frames) {
    for (const Bytes& frame : frames) Request(from, frame);
  }
  // The worker's outcome as one message: the command, then the replies.
  void Outcome(const Frames& frames) {
    std::vector<serverFrame> parts;
    for (const Bytes& frame : frames) parts.push_back({frame.data(), frame.size()});
    serverRouting_WorkerOutcome(routing(), parts.data(), parts.size(), Sink());
  }
  void Answer(const Bytes& reply) { Outcome({{SERVER_CMD_INCOMING_PACKETS, 0, 1}, reply}); }
  void Batch(const Bytes& batch) { serverRouting_StreamBatch(routing(), batch.data(), batch.size(), Sink()); }

 private:
  serverRoutingSink Sink() { return serverRoutingSink{sHandOff, sToClient, this}; }
  static bool sHandOff(void* ref, const uint8_t* wire, size_t size) {
    Broker* self = static_cast<Broker*>(ref);
    if (!self->handOffWorks(self->handOffs++)) return false;
    self->handedOff.emplace_back(wire, wire + size);
    return true;
  }
  static bool sToClient(void* ref, const serverIdentity& to, const uint8_t* data, size_t size) {
    static_cast<Broker*>(ref)->sent.push_back({to, Bytes(data, data + size)});
    return true;
  }

  std::unique_ptr<serverRouting, RoutingDestroyer> routing_{serverRouting_Create()};
};

Bytes Echo(uint8_t tag) { return {0x08, 0x03, 0x17, tag, 0x00}; }
// An entity get: UEI, answered.
Bytes Get(uint8_t tag) { return {0x08, 0x04, 0x41, 0x41, 0x20, tag}; }
// The example transfer: 28 and 28 payload bytes with the flag, then 10 without.
Frames ThreePackets(uint8_t command, uint8_t fill = 0x5A) {
  return {TransferPacket(0x08, command, 28, 0, true, fill), TransferPacket(0x08, command, 28, 1, true, fill),
          TransferPacket(0x08, command, 10, 2, false, fill)};
}

}  // namespace

TEST(ServerRouting, FramesThatArePackets) {
  struct Row {
    Bytes frame;
    bool packet;
  };
  Bytes longest(30, 0x11);
  longest[1] = 28;
  Bytes tooLong(31, 0x11);
  tooLong[1] = 28;
  const Row rows[] = {
      {{}, false},
      {{0x08}, false},
      {{0x04, 0x00}, true},
      {longest, true},
      {tooLong, false},
      {{0x08, 0x1D, 1}, false},            // length byte above 28
      {{0x08, 0x0A, 1, 2, 3, 4, 5}, false},  // length byte beyond the frame
      {{0x08, 0x01, 0x55, 0xEE, 0xEE}, true},  // bytes past the payload are ignored
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(HexText(row.frame));
    PacketPtr packet(_zFrame_To_aPacket(row.frame.data(), row.frame.size()));
    ASSERT_EQ(packet != nullptr, row.packet);
    if (packet) {
      EXPECT_EQ(WireBytes(packet.get()), Bytes(row.frame.begin(), row.frame.begin() + row.frame[1] + 2));
    }
  }
}

TEST(ServerRouting, OneRequestOnFreshState) {
  struct Row {
    const char* what;
    Bytes frame;
    bool handedOff;
    bool slot;
    bool subscribed;
  };
  Bytes tooLong(31, 0x08);
  tooLong[1] = 28;
  const Row rows[] = {
      {"one byte", {0x08}, false, false, false},
      {"31 bytes", tooLong, false, false, false},
      {"length byte beyond the frame", {0x08, 0x0A, 1, 2, 3, 4, 5}, false, false, false},
      {"empty payload", {0x04, 0x00}, true, true, false},
      {"cmdFORCEROUTE", {0xAF, 0x01, 0x01}, false, false, false},
      {"link level with 2 payload bytes", {0xAF, 0x02, 0x01, 0x00}, true, false, false},
      {"full and continuing, no pool open", TransferPacket(0x08, 0x30, 28, 5, true), true, false, false},
      {"full, continuing, sequence 0 opens a pool", TransferPacket(0x08, 0x30, 28, 0, true), false, false, false},
      {"27 bytes continuing, sequence 0: no pool", TransferPacket(0x08, 0x30, 27, 0, true), true, false, false},
      {"not UEI, full and flagged", TransferPacket(0x08, 0x17, 28, 0, true), true, true, false},
      {"stream enable", {0x08, 0x07, 0x5D, 0x81, 1, 0, 0, 0, 0}, true, true, true},
      {"other stream request", {0x08, 0x07, 0x5D, 0x82, 1, 0, 0, 0, 0}, true, true, false},
      {"stream enable of another length", {0x08, 0x06, 0x5D, 0x81, 1, 0, 0, 0}, true, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Broker broker;
    broker.Request(kA, row.frame);
    EXPECT_EQ(broker.handedOff, row.handedOff ? Frames{row.frame} : Frames{});
    EXPECT_EQ(broker.slots(), row.slot ? 1u : 0u);
    EXPECT_EQ(broker.routing()->streamSubscribers.size(), row.subscribed ? 1u : 0u);
  }
}

TEST(ServerRouting, AClientEnablingStreamingTwiceIsSubscribedOnce) {
  Broker broker;
  Bytes enable{0x08, 0x07, 0x5D, 0x81, 1, 0, 0, 0, 0};
  broker.Requests(kA, {enable, enable});
  broker.Request(kB, enable);
  EXPECT_EQ(broker.handedOff.size(), 3u);
  EXPECT_EQ(broker.routing()->streamSubscribers, (std::vector<serverIdentity>{kA, kB}));

  Bytes batch(60, 0x33);
  broker.Batch(batch);
  EXPECT_EQ(broker.sent, (std::vector<Broker::Sent>{{kA, batch}, {kB, batch}}));
}

TEST(ServerRouting, ATransferGoesOnWholeAfterItsLastPacket) {
  struct Row {
    const char* what;
    Frames packets;
  };
  std::vector<uint8_t> data(3100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const Row rows[] = {
      {"three packets", ThreePackets(0x40)},
      {"130 packets, the sequence wrapping", TransferPackets(0x08, 0x40, data)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Broker broker;
    Frames head(row.packets.begin(), row.packets.end() - 1);
    broker.Requests(kA, head);
    EXPECT_TRUE(broker.handedOff.empty());
    EXPECT_EQ(broker.routing()->pools.size(), 1u);
    broker.Request(kA, row.packets.back());
    EXPECT_EQ(broker.handedOff, row.packets);
    EXPECT_EQ(broker.routing()->replySlots, std::deque<serverIdentity>{kA});
    EXPECT_TRUE(broker.routing()->pools.empty());
  }
  EXPECT_EQ(TransferPackets(0x08, 0x40, data).size(), 130u);
}

TEST(ServerRouting, AfterASequenceMixUpTheClientsNextTransferAndGetGoThrough) {
  Broker broker;
  Frames broken = ThreePackets(0x40);
  broken[1] = TransferPacket(0x08, 0x40, 28, 2, true);
  broker.Requests(kA, {broken[0], broken[1]});
  // The pool went: its first packet never reaches the device; the stray one travels alone.
  EXPECT_TRUE(broker.routing()->pools.empty());
  EXPECT_EQ(broker.handedOff, Frames{broken[1]});
  EXPECT_EQ(broker.slots(), 0u);

  Frames next = ThreePackets(0x40, 0x77);
  broker.Requests(kA, next);
  broker.Request(kA, Get(1));
  Frames want{broken[1]};
  want.insert(want.end(), next.begin(), next.end());
  want.push_back(Get(1));
  EXPECT_EQ(broker.handedOff, want);
  EXPECT_EQ(broker.routing()->replySlots, (std::deque<serverIdentity>{kA, kA}));
}

TEST(ServerRouting, LinkLevelPacketsNeverJoinATransfer) {
  Broker broker;
  Frames transfer = ThreePackets(0x40);
  broker.Request(kA, transfer[0]);
  // Both would end the transfer by their trailers (sequence 1, no continue flag).
  Bytes forceRoute{0xAF, 0x01, 0x81};
  Bytes linkLevel{0xAF, 0x02, 0x41, 0x01};
  broker.Request(kA, forceRoute);
  broker.Request(kA, linkLevel);
  EXPECT_EQ(broker.handedOff, Frames{linkLevel});
  EXPECT_EQ(broker.slots(), 0u);
  broker.Requests(kA, {transfer[1], transfer[2]});
  Frames want{linkLevel};
  want.insert(want.end(), transfer.begin(), transfer.end());
  EXPECT_EQ(broker.handedOff, want);
  EXPECT_EQ(broker.routing()->replySlots, std::deque<serverIdentity>{kA});
}

TEST(ServerRouting, InterleavedTransfersOfTwoClientsKeepTheirOwnPools) {
  Broker broker;
  Frames a = ThreePackets(0x40, 0xAA);
  Frames b = ThreePackets(0x42, 0xBB);
  for (size_t i = 0; i < 3; ++i) {
    broker.Request(kA, a[i]);
    broker.Request(kB, b[i]);
  }
  Frames want = a;
  want.insert(want.end(), b.begin(), b.end());
  EXPECT_EQ(broker.handedOff, want);
  EXPECT_EQ(broker.routing()->replySlots, (std::deque<serverIdentity>{kA, kB}));
}

TEST(ServerRouting, AnAbandonedPoolDiesAtThe2001stUEIPacket) {
  for (int others : {1999, 2000}) {
    SCOPED_TRACE(others);
    Broker broker;
    Frames transfer = ThreePackets(0x40);
    broker.Request(kA, transfer[0]);
    for (int i = 0; i < others; ++i) broker.Request(kB, Get(static_cast<uint8_t>(i)));
    // Packets that are not UEI do not age pools.
    broker.Request(kB, Echo(1));
    size_t before = broker.handedOff.size();
    broker.Request(kA, transfer[1]);
    bool pooled = broker.handedOff.size() == before;
    EXPECT_EQ(pooled, others == 1999);
  }
}

TEST(ServerRouting, AFailedHandOffKeepsNoSlot) {
  struct Row {
    const char* what;
    Frames requests;                  // of client A
    std::function<bool(size_t)> works;
  };
  const Row rows[] = {
      {"a single request", {Echo(1)}, [](size_t) { return false; }},
      {"the last packet of a transfer", ThreePackets(0x40), [](size_t i) { return i != 2; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Broker broker;
    broker.handOffWorks = row.works;
    broker.Requests(kA, row.requests);
    EXPECT_EQ(broker.slots(), 0u);
    broker.handOffWorks = [](size_t) { return true; };
    // The next client's answer is its own.
    broker.Request(kB, Echo(2));
    broker.Answer(Echo(2));
    EXPECT_EQ(broker.sent, (std::vector<Broker::Sent>{{kB, Echo(2)}}));
  }
}

TEST(ServerRouting, ATransferWhoseLastPacketWentOnKeepsItsSlot) {
  Broker broker;
  broker.handOffWorks = [](size_t i) { return i != 0; };
  broker.Requests(kA, ThreePackets(0x40));
  EXPECT_EQ(broker.routing()->replySlots, std::deque<serverIdentity>{kA});
}

TEST(ServerRouting, WorkerOutcomesGoToTheHeadSlot) {
  struct Row {
    const char* what;
    Frames outcome;
    std::vector<Broker::Sent> toA;
  };
  Bytes full = TransferPacket(0x08, 0x31, 28, 0, true);
  Bytes last = TransferPacket(0x08, 0x31, 6, 1, false);
  const Row rows[] = {
      {"no answer", {{SERVER_CMD_DROPPED_PACKET, 0, 0}}, {}},
      {"one reply", {{SERVER_CMD_INCOMING_PACKETS, 0, 1}, Echo(1)}, {{kA, Echo(1)}}},
      {"a one-byte reply", {{SERVER_CMD_INCOMING_PACKETS, 0, 1}, {0x08, 0x01, 0x55}}, {{kA, {0x08, 0x01, 0x55}}}},
      {"two replies", {{SERVER_CMD_INCOMING_PACKETS, 0, 2}, full, last}, {{kA, full}, {kA, last}}},
      {"more replies than counted still go", {{SERVER_CMD_INCOMING_PACKETS, 0, 1}, full, last}, {{kA, full}, {kA, last}}},
      {"an unknown command", {{7, 0, 1}, Echo(1)}, {}},
      {"a command of another size", {{SERVER_CMD_INCOMING_PACKETS, 0}, Echo(1)}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Broker broker;
    broker.Request(kA, Echo(1));
    broker.Request(kB, Echo(2));
    broker.Outcome(row.outcome);
    EXPECT_EQ(broker.sent, row.toA);
    // Whatever the outcome, the head slot was used once: B's answer is B's.
    broker.sent.clear();
    broker.Answer(Echo(2));
    EXPECT_EQ(broker.sent, (std::vector<Broker::Sent>{{kB, Echo(2)}}));
    EXPECT_EQ(broker.slots(), 0u);
  }
}

TEST(ServerRouting, AnOutcomeWithoutSlotIsDropped) {
  Broker broker;
  broker.Answer(Echo(1));
  broker.Outcome({});
  EXPECT_TRUE(broker.sent.empty());
}

TEST(ServerRouting, AfterAFlushAReplyStillOwedGoesToTheNextSlot) {
  Broker broker;
  broker.Request(kA, Echo(1));
  serverRouting_Flush(broker.routing());
  EXPECT_EQ(broker.slots(), 0u);
  broker.Request(kB, Echo(2));
  broker.Answer(Echo(1));
  broker.Answer(Echo(2));
  EXPECT_EQ(broker.sent, (std::vector<Broker::Sent>{{kB, Echo(1)}}));
}

namespace {

// The device link as the worker sees it: replies queued by the test, calls recorded.
struct WorkerDevice {
  std::deque<Bytes> inbound;
  bool putWorks = true;
  bool endless = false;  // every await gives a full continuing reply
  std::vector<std::string> calls;
  Frames put;

  serverDevice Ops() { return serverDevice{sPut, sAwait, sDrain, this}; }

  static aErr sPut(void* ref, const aPacket* packet) {
    WorkerDevice* self = static_cast<WorkerDevice*>(ref);
    self->calls.push_back("put");
    if (!self->putWorks) return aErrParam;
    self->put.push_back(WireBytes(packet));
    return aErrNone;
  }
  static aPacket* sAwait(void* ref, uint64_t ms) {
    WorkerDevice* self = static_cast<WorkerDevice*>(ref);
    EXPECT_EQ(ms, kServerReplyWaitMs);
    self->calls.push_back("await");
    Bytes wire;
    if (self->endless) {
      wire = TransferPacket(0x08, 0x31, 28, 0, true);
    } else if (!self->inbound.empty()) {
      wire = self->inbound.front();
      self->inbound.pop_front();
    } else {
      return nullptr;
    }
    return aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
  }
  static void sDrain(void* ref) { static_cast<WorkerDevice*>(ref)->calls.push_back("drain"); }
};

}  // namespace

TEST(ServerWorker, ServesOneRequest) {
  struct Row {
    const char* what;
    Bytes request;
    Frames inbound;
    bool putWorks;
    std::vector<std::string> calls;
    Frames outcome;
  };
  Bytes full = TransferPacket(0x08, 0x31, 28, 0, true);
  Bytes last = TransferPacket(0x08, 0x31, 6, 1, false);
  Bytes dropped{SERVER_CMD_DROPPED_PACKET, 0, 0};
  const Row rows[] = {
      {"not a packet", {0x08, 0x0A, 1}, {}, true, {}, {}},
      {"answered", Echo(1), {Echo(1)}, true, {"drain", "put", "await"}, {{1, 0, 1}, Echo(1)}},
      {"a one-byte reply", Echo(1), {{0x08, 0x01, 0x55}}, true, {"drain", "put", "await"}, {{1, 0, 1}, {0x08, 0x01, 0x55}}},
      {"answered in two", Echo(1), {full, last, Echo(9)}, true, {"drain", "put", "await", "await"}, {{1, 0, 2}, full, last}},
      {"unanswered", Echo(1), {}, true, {"drain", "put", "await"}, {dropped}},
      {"owed, refused by the link", Echo(1), {}, false, {"drain", "put"}, {dropped}},
      {"not owed", {0xAF, 0x02, 0x01, 0x00}, {Echo(9)}, true, {"drain", "put"}, {}},
      // Its answer is not awaited, so there is no slot to release: a command would take the
      // next request's.
      {"not owed, refused by the link", TransferPacket(0x08, 0x30, 28, 3, true), {}, false, {"drain", "put"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WorkerDevice device;
    device.inbound.assign(row.inbound.begin(), row.inbound.end());
    device.putWorks = row.putWorks;
    Frames outcome{{0xEE}};
    serverRouting_ServeRequest(row.request.data(), row.request.size(), device.Ops(), &outcome);
    EXPECT_EQ(device.calls, row.calls);
    EXPECT_EQ(outcome, row.outcome);
    if (row.putWorks && !row.calls.empty()) {
      EXPECT_EQ(device.put, Frames{row.request});
    }
  }
}

TEST(ServerWorker, CollectsAtMost65535Replies) {
  WorkerDevice device;
  device.endless = true;
  Frames outcome;
  Bytes request = Echo(1);
  serverRouting_ServeRequest(request.data(), request.size(), device.Ops(), &outcome);
  ASSERT_EQ(outcome.size(), 65536u);
  EXPECT_EQ(outcome[0], (Bytes{SERVER_CMD_INCOMING_PACKETS, 0xFF, 0xFF}));
}
