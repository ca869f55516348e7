// The reader's per-byte step and the link operations, driven directly on a record whose
// threads never run.
#include <gtest/gtest.h>

#include "LinkRecord.h"
#include "PacketHelpers.h"
#include "unix_time.h"

namespace {

using Wires = std::vector<std::vector<uint8_t>>;

const std::vector<uint8_t> kSync = HexBytes("AD 00");
Wires Syncs(size_t n) { return Wires(n, kSync); }

uint8_t sAny(const aPacket*, const void*) { return 1; }

}  // namespace

TEST(LinkReader, Heartbeats) {
  struct Row {
    const char* in;
    const char* answer;  // "" when nothing is sent
    bool queued;
  };
  const Row rows[] = {
      {"08 02 00 00", "08 02 00 02", false},
      {"08 02 00 01", "08 02 00 03", false},
      {"08 02 00 FF", "08 02 00 01", false},
      {"08 02 01 00", "", true},
      {"08 00", "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    LinkRecord record;
    record.Feed(HexBytes(row.in));
    Wires answers = *row.answer ? Wires{HexBytes(row.answer)} : Wires{};
    EXPECT_EQ(record.TakeOut(), answers);
    EXPECT_EQ(record.TakeIn(), row.queued ? Wires{HexBytes(row.in)} : Wires{});
    EXPECT_EQ(record.link()->hbState.load(), 0u);
    EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusRunning);
  }
}

TEST(LinkReader, HeartbeatDuringAnAnswerIsQueued) {
  LinkRecord record;
  record.link()->hbState = 2;
  record.Feed(HexBytes("08 02 00 00"));
  EXPECT_EQ(record.TakeOut(), Wires{});
  EXPECT_EQ(record.TakeIn(), Wires{HexBytes("08 02 00 00")});
}

TEST(LinkReader, FramingLossStartsAHandshakeAndHoldsBackPackets) {
  const char* starts[] = {"03", "08 1D", "08 FF", "00"};
  for (const char* start : starts) {
    SCOPED_TRACE(start);
    LinkRecord record;
    record.Feed(HexBytes(start));
    EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusSyncing);
    EXPECT_EQ(record.TakeOut(), Syncs(6));
    // A whole packet during the handshake is handshake input, never a packet.
    record.Feed(HexBytes("08 02 10 20"));
    EXPECT_EQ(record.TakeIn(), Wires{});
    record.Empty(1000);  // quiet for long enough: a fresh start
    record.Feed(HexBytes("08 00 08 00"), 1000);
    EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusRunning);
    record.TakeOut();
    record.Feed(HexBytes("08 01 33"));
    EXPECT_EQ(record.TakeIn(), Wires{HexBytes("08 01 33")});
  }
}

TEST(LinkReader, HandshakeByteTable) {
  struct Row {
    const char* answer;
    size_t syncs;  // AD 00 queued in all, the first six included
    int status;
  };
  const Row rows[] = {
      {"08 00 08 00", 6, kLinkStatusRunning},
      {"08 00 0A 00 08 00 08 00", 12, kLinkStatusRunning},  // wrong address: one restart
      {"09 00 08 00 08 00", 18, kLinkStatusRunning},        // odd, then zero: two restarts
      {"08 01", 6, kLinkStatusSyncing},                     // back to the start state
      {"08 01 55", 12, kLinkStatusSyncing},                 // whose next byte restarts
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.answer);
    LinkRecord record;
    record.link()->status = kLinkStatusSyncing;  // as aLink_Sync leaves it
    record.Empty();
    record.Feed(HexBytes(row.answer));
    EXPECT_EQ(record.TakeOut(), Syncs(row.syncs));
    EXPECT_EQ(aLink_GetStatus(record.ref()), row.status);
  }
}

TEST(LinkReader, EmptyReadsRestartOnlyAfterQuiet) {
  LinkRecord record;
  record.link()->status = kLinkStatusSyncing;
  record.Empty(1000);  // asked for: starts at once
  EXPECT_EQ(record.TakeOut().size(), 6u);
  record.Empty(1100);
  record.Feed(HexBytes("08"), 1200);  // a byte of an answer, the rest delayed
  record.Empty(1300);
  record.Empty(1449);
  EXPECT_EQ(record.TakeOut().size(), 0u);
  record.Empty(1450);  // 250 ms without a byte
  EXPECT_EQ(record.TakeOut().size(), 6u);
  record.Feed(HexBytes("08 00 08 00"), 1460);
  EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusRunning);
  record.Empty(5000);  // running: empty reads do nothing
  EXPECT_EQ(record.TakeOut().size(), 0u);
}

TEST(LinkReader, ErrorStatesHandshakeAtTheNextEmptyRead) {
  for (int status : {kLinkStatusIOError, kLinkStatusPacketError}) {
    SCOPED_TRACE(status);
    LinkRecord record;
    record.link()->status = status;
    record.Feed(HexBytes("08 01 44"));  // bytes are still parsed in these states
    EXPECT_EQ(record.TakeIn(), Wires{HexBytes("08 01 44")});
    record.Empty();
    EXPECT_EQ(record.TakeOut(), Syncs(6));
    EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusSyncing);
  }
  for (aErr code : {aErrIO, aErrEOF, aErrPacket}) {
    LinkRecord record;
    record.Fail(code);
    EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusIOError);
  }
}

TEST(LinkOperations, AwaitFirstNeedsARunningLink) {
  LinkRecord record;
  aLink* link = record.link();
  PacketPtr packet(aPacket_CreateWithData(0x08, 1, HexBytes("55").data()));
  ASSERT_EQ(aPacketFifo_Put(link->inFifo, packet.get()), aErrNone);
  link->running = 1;
  link->status = kLinkStatusSyncing;
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(PacketPtr(aLink_AwaitFirst(record.ref(), sAny, nullptr, 1000)), nullptr);
  link->status = kLinkStatusRunning;
  EXPECT_EQ(PacketPtr(aLink_AwaitFirst(record.ref(), sAny, nullptr, 0)), nullptr);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 500u);
  // A wait too long for the clock saturates rather than wrapping into the past.
  EXPECT_NE(PacketPtr(aLink_AwaitFirst(record.ref(), sAny, nullptr, UINT64_MAX)), nullptr);

  ASSERT_EQ(aPacketFifo_Put(link->inFifo, packet.get()), aErrNone);
  link->status = kLinkStatusSyncing;
  EXPECT_NE(PacketPtr(aLink_AwaitPacket(record.ref(), 10)), nullptr);  // ignores the status
  link->running = 0;
}

TEST(LinkOperations, StoppedLinks) {
  LinkRecord record;
  aLink* link = record.link();
  link->status = kLinkStatusStopped;
  // Nothing to stop; nothing to sync with.
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(link->outFifo), 0u);
  EXPECT_EQ(aLink_Sync(record.ref()), aErrNotReady);
  EXPECT_EQ(aLink_GetStatus(record.ref()), kLinkStatusStopped);
  EXPECT_EQ(aLink_PutPacket(record.ref(), nullptr), aErrParam);
  aPacket invalid{};
  EXPECT_EQ(aLink_PutPacket(record.ref(), &invalid), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(link->outFifo), 0u);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
}

TEST(LinkOperations, StartRefusesALinkWithoutStream) {
  aLinkRef ref = sCreate(aLINK_STREAM_IDENT, 0, 0);
  ASSERT_EQ(aLink_Init(ref, nullptr), ref);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusInvalid);
  EXPECT_EQ(aLink_Start(ref), aErrParam);
  aLink* link = sGetLink(ref);
  EXPECT_EQ(link->readerThread, nullptr);
  EXPECT_EQ(link->running.load(), 0);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}
