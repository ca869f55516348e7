// The link engine over the in-memory pipe, with the simulated device on the far end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "Eventually.h"
#include "CpuTime.h"
#include "DescriptorStream.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ScriptedStreamKind.h"
#include "SimLinkPipe.h"
#include "aLinkInternal.h"
#include "unix_time.h"

namespace {

constexpr uint64_t kBound = 5000;  // ms; generous bound for anything that should be quick

PacketPtr Packet(uint8_t address, const std::vector<uint8_t>& payload) {
  return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()),
                                          payload.data()));
}

// Matches a packet whose payload equals the vector's bytes.
uint8_t sAny(const aPacket*, const void*) { return 1; }

// A filter that consumes packets whose command is 0x77 and counts every call.
struct CountingFilter {
  std::atomic<int> calls{0};
  static uint8_t Proc(const aPacket* packet, void* ref) {
    auto* self = static_cast<CountingFilter*>(ref);
    self->calls++;
    return packet->length > 0 && packet->payload[0] == 0x77 ? 1 : 2;
  }
};

// A filter that blocks on a latch until released.
struct BlockingFilter {
  std::binary_semaphore entered{0};
  std::binary_semaphore release{0};
  std::atomic<int> calls{0};
  static uint8_t Proc(const aPacket*, void* ref) {
    auto* self = static_cast<BlockingFilter*>(ref);
    self->calls++;
    self->entered.release();
    self->release.try_acquire_for(std::chrono::seconds(10));
    return 2;
  }
};

std::vector<std::vector<uint8_t>> Wires(const std::vector<SimLinkDevice::Received>& packets) {
  std::vector<std::vector<uint8_t>> wires;
  for (const auto& packet : packets) wires.push_back(packet.wire);
  return wires;
}

// Drains the link's packet log and keeps the records of one kind (1 sent, 2 received).
std::vector<std::vector<uint8_t>> LoggedRecords(aLinkRef ref, int wanted) {
  std::vector<std::vector<uint8_t>> records;
  int kind;
  uint8_t data[64];
  uint32_t length = sizeof data;
  while (aLink_PacketDebug_Read(ref, &kind, &length, data) == aErrNone) {
    if (kind == wanted) records.emplace_back(data, data + length);
    length = sizeof data;
  }
  return records;
}

}  // namespace

TEST(Link, LifecycleRouteEchoAndRelease) {
  aLinkRef other = 0;
  {
    SimLinkPipe link;
    link.device.SetEcho(true);
    int threadsWithDevice = CountThreads();
    ASSERT_NE(link.Create(), 0u);
    ASSERT_TRUE(link.device.WaitForPackets(1, kBound));
    EXPECT_EQ(link.device.Packets()[0].wire, HexBytes("AF 01 01"));
    EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);

    for (int i = 0; i < 100; ++i) {
      std::vector<uint8_t> payload{0x10, static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7)};
      ASSERT_EQ(aLink_PutPacket(link.ref, Packet(0x08, payload).get()), aErrNone);
      PacketPtr reply(aLink_AwaitFirst(link.ref, SamePayload, &payload, kBound));
      ASSERT_NE(reply, nullptr) << "exchange " << i;
      EXPECT_EQ(reply->address, 0x08);
    }

    // A second link made meanwhile keeps running and gets a higher id.
    SimLinkPipe second;
    second.device.SetEcho(true);
    ASSERT_GT(second.Create(), link.ref);

    // Everything queued before the destroy goes out, then the route-off packet.
    link.device.SetEcho(false);
    size_t before = link.device.PacketCount();
    for (int i = 0; i < 50; ++i)
      ASSERT_EQ(aLink_PutPacket(link.ref, Packet(0x08, {0x20, static_cast<uint8_t>(i)}).get()), aErrNone);
    aLinkRef old = link.ref;
    EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
    EXPECT_EQ(link.ref, 0u);
    EXPECT_EQ(aLink_GetStatus(old), kLinkStatusInvalid);
    ASSERT_TRUE(link.device.WaitForPackets(before + 51, kBound));
    auto wires = Wires(link.device.Packets());
    ASSERT_EQ(wires.size(), before + 51);
    for (int i = 0; i < 50; ++i)
      EXPECT_EQ(wires[before + i], (std::vector<uint8_t>{0x08, 0x02, 0x20, static_cast<uint8_t>(i)}));
    EXPECT_EQ(wires.back(), HexBytes("AF 01 00"));
    EXPECT_EQ(link.device.RoutePackets().size(), 2u);

    std::vector<uint8_t> payload{0x33};
    ASSERT_EQ(aLink_PutPacket(second.ref, Packet(0x08, payload).get()), aErrNone);
    PacketPtr reply(aLink_AwaitFirst(second.ref, SamePayload, &payload, kBound));
    EXPECT_NE(reply, nullptr);
    EXPECT_EQ(aLink_GetStatus(second.ref), kLinkStatusRunning);
    other = second.ref;
    // The link's own threads are gone; only the kits' threads remain.
    EXPECT_TRUE(Eventually([&] { return CountThreads() == threadsWithDevice + 2 + 2; }));
  }
  EXPECT_EQ(aLink_GetStatus(other), kLinkStatusInvalid);
}

TEST(Link, FilterConsumesOrPasses) {
  SimLinkPipe link;
  ASSERT_NE(link.Create(), 0u);
  ASSERT_EQ(aLink_PacketDebug_Enable(link.ref), aErrNone);
  CountingFilter filter;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, CountingFilter::Proc, &filter), aErrNone);

  link.device.SendRaw(HexBytes("08 02 77 01"));  // consumed
  link.device.SendRaw(HexBytes("08 02 78 01"));  // passed on
  PacketPtr passed(aLink_AwaitPacket(link.ref, kBound));
  ASSERT_NE(passed, nullptr);
  EXPECT_EQ(WireBytes(passed.get()), HexBytes("08 02 78 01"));
  EXPECT_EQ(PacketPtr(aLink_AwaitPacket(link.ref, 50)), nullptr);
  EXPECT_EQ(filter.calls.load(), 2);

  // A heartbeat the filter consumes gets no answer.
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, [](const aPacket*, void*) -> uint8_t { return 1; },
                                          nullptr),
            aErrNone);
  EXPECT_EQ(link.device.Heartbeat(0x00, 300), SimLinkDevice::HeartbeatResult::kMissing);

  // Consumed packets are still in the packet log.
  std::vector<std::vector<uint8_t>> received = LoggedRecords(link.ref, 2);
  EXPECT_EQ(received, (std::vector<std::vector<uint8_t>>{HexBytes("08 02 77 01"), HexBytes("08 02 78 01"),
                                                         HexBytes("08 02 00 00")}));
}

// Either way of taking a filter away waits while it runs.
TEST(Link, RemovingABlockedFilterWaitsForIt) {
  struct Row {
    const char* what;
    aErr (*remove)(aLinkRef, BlockingFilter*);
  };
  const Row rows[] = {
      {"installing none",
       [](aLinkRef ref, BlockingFilter*) { return aLink_InstallUserPacketFilter(ref, nullptr, nullptr); }},
      {"conditional removal",
       [](aLinkRef ref, BlockingFilter* filter) {
         return aLink_RemoveUserPacketFilterIf(ref, BlockingFilter::Proc, filter);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimLinkPipe link;
    ASSERT_NE(link.Create(), 0u);
    BlockingFilter filter;
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, BlockingFilter::Proc, &filter), aErrNone);
    link.device.SendRaw(HexBytes("08 01 10"));
    ASSERT_TRUE(filter.entered.try_acquire_for(std::chrono::seconds(5)));

    std::atomic<bool> removed{false};
    std::thread remover([&] {
      EXPECT_EQ(row.remove(link.ref, &filter), aErrNone);
      removed = true;
    });
    aTime_MSSleep(100);
    EXPECT_FALSE(removed.load());
    filter.release.release();
    remover.join();

    link.device.SendRaw(HexBytes("08 01 11"));
    EXPECT_NE(PacketPtr(aLink_AwaitPacket(link.ref, kBound)), nullptr);
    EXPECT_EQ(filter.calls.load(), 1);
  }
}

TEST(Link, ConditionalRemovalTakesOnlyTheSamePair) {
  SimLinkPipe link;
  ASSERT_NE(link.Create(), 0u);
  CountingFilter mine, other;
  auto otherProc = [](const aPacket* packet, void* ref) -> uint8_t { return CountingFilter::Proc(packet, ref); };
  struct Row {
    const char* what;
    aUserPacketFilterProc proc;
    void* user;
    aErr result;
    bool stillFilters;
  };
  const Row rows[] = {
      {"same pair", CountingFilter::Proc, &mine, aErrNone, false},
      {"another user pointer", CountingFilter::Proc, &other, aErrNotFound, true},
      {"another procedure", otherProc, &mine, aErrNotFound, true},
      {"no procedure", nullptr, &mine, aErrParam, true},
  };
  uint8_t tag = 0;
  for (const Row& row : rows) {
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, CountingFilter::Proc, &mine), aErrNone);
    EXPECT_EQ(aLink_RemoveUserPacketFilterIf(link.ref, row.proc, row.user), row.result) << row.what;
    int before = mine.calls.load();
    link.device.SendRaw({0x08, 0x02, 0x78, ++tag});
    EXPECT_NE(PacketPtr(aLink_AwaitPacket(link.ref, kBound)), nullptr) << row.what;
    EXPECT_EQ(mine.calls.load() - before, row.stillFilters ? 1 : 0) << row.what;
  }
  // Nothing installed: nothing to take.
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, nullptr, nullptr), aErrNone);
  EXPECT_EQ(aLink_RemoveUserPacketFilterIf(link.ref, CountingFilter::Proc, &mine), aErrNotFound);
  EXPECT_EQ(other.calls.load(), 0);
}

TEST(Link, PooledWritesGatherQueuedPackets) {
  SimLinkPipe link;
  link.pipe.HoldWrites(MemoryPipe::kA);
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.pipe.WaitWriteHeld(MemoryPipe::kA, kBound));  // inside the write of AF 01 01
  ASSERT_EQ(aLink_PacketDebug_Enable(link.ref), aErrNone);
  ASSERT_EQ(aLink_EnablePooledPackets(link.ref, true), aErrNone);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> payload(28, static_cast<uint8_t>(i));
    PacketPtr packet = Packet(0x08, payload);
    std::vector<uint8_t> wire = WireBytes(packet.get());
    expected.insert(expected.end(), wire.begin(), wire.end());
    ASSERT_EQ(aLink_PutPacket(link.ref, packet.get()), aErrNone);
  }
  link.pipe.ReleaseWrites(MemoryPipe::kA);
  ASSERT_TRUE(link.device.WaitForPackets(201, kBound));

  auto writes = link.pipe.Tap(MemoryPipe::kA);
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes[0].bytes, HexBytes("AF 01 01"));
  EXPECT_EQ(writes[1].bytes.size(), 4080u);
  std::vector<uint8_t> carried;
  for (size_t i = 1; i < writes.size(); ++i) {
    EXPECT_LE(writes[i].bytes.size(), 4096u);
    carried.insert(carried.end(), writes[i].bytes.begin(), writes[i].bytes.end());
  }
  EXPECT_EQ(carried, expected);

  // Only the first packet of each batch is recorded as sent.
  std::vector<std::vector<uint8_t>> sent = LoggedRecords(link.ref, 1);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], HexBytes("AF 01 01"));
  EXPECT_EQ(sent[1], std::vector<uint8_t>(expected.begin(), expected.begin() + 30));
  EXPECT_EQ(sent[2], std::vector<uint8_t>(expected.begin() + 136 * 30, expected.begin() + 137 * 30));
}

TEST(Link, UnregisteredRefs) {
  aLinkRef released;
  {
    SimLinkPipe link;
    released = link.Create();
    ASSERT_NE(released, 0u);
  }
  const aLinkRef refs[] = {0, 0x7FFFFFF0u, released};
  PacketPtr packet = Packet(0x08, {0x01});
  int kind;
  uint32_t length = 8;
  uint8_t data[8];
  struct Op {
    const char* name;
    std::function<bool(aLinkRef)> gives;  // true when the op gives its unregistered result
  };
  const Op ops[] = {
      {"GetStatus", [](aLinkRef r) { return aLink_GetStatus(r) == kLinkStatusInvalid; }},
      {"GetPacket", [](aLinkRef r) { return aLink_GetPacket(r) == nullptr; }},
      {"AwaitPacket", [](aLinkRef r) { return aLink_AwaitPacket(r, 10) == nullptr; }},
      {"GetFirst", [](aLinkRef r) { return aLink_GetFirst(r, sAny, nullptr) == nullptr; }},
      {"AwaitFirst", [](aLinkRef r) { return aLink_AwaitFirst(r, sAny, nullptr, 10) == nullptr; }},
      {"DrainPackets", [](aLinkRef r) { return aLink_DrainPackets(r, sAny, nullptr) == 0; }},
      {"PutPacket", [&](aLinkRef r) { return aLink_PutPacket(r, packet.get()) == aErrParam; }},
      {"InstallUserPacketFilter",
       [](aLinkRef r) { return aLink_InstallUserPacketFilter(r, CountingFilter::Proc, nullptr) == aErrParam; }},
      {"RemoveUserPacketFilterIf",
       [](aLinkRef r) { return aLink_RemoveUserPacketFilterIf(r, CountingFilter::Proc, nullptr) == aErrParam; }},
      {"EnablePooledPackets", [](aLinkRef r) { return aLink_EnablePooledPackets(r, true) == aErrParam; }},
      {"Sync", [](aLinkRef r) { return aLink_Sync(r) == aErrParam; }},
      {"ForceRoute", [](aLinkRef r) { return aLink_ForceRoute(r, 1) == aErrNotFound; }},
      {"Start", [](aLinkRef r) { return aLink_Start(r) == aErrParam; }},
      {"PacketDebug_SetLogSize", [](aLinkRef r) { return aLink_PacketDebug_SetLogSize(r, 100) == aErrParam; }},
      {"PacketDebug_Enable", [](aLinkRef r) { return aLink_PacketDebug_Enable(r) == aErrParam; }},
      {"PacketDebug_Disable", [](aLinkRef r) { return aLink_PacketDebug_Disable(r) == aErrParam; }},
      {"PacketDebug_Read",
       [&](aLinkRef r) { return aLink_PacketDebug_Read(r, &kind, &length, data) == aErrParam; }},
      {"PacketDebug_Write", [&](aLinkRef r) { return aLink_PacketDebug_Write(r, 3, 1, data) == aErrParam; }},
      {"Destroy", [](aLinkRef r) { return aLink_Destroy(&r) == aErrParam && r == 0; }},
  };
  for (aLinkRef ref : refs) {
    for (const Op& op : ops) EXPECT_TRUE(op.gives(ref)) << op.name << " of ref " << ref;
  }
}

TEST(Link, IdleLinkDoesNotSpin) {
  SimLinkPipe link;
  ASSERT_NE(link.Create(), 0u);
  aTime_MSSleep(100);
  size_t before = link.pipe.GetCalls(MemoryPipe::kA);
  aTime_MSSleep(1000);
  // A slow machine only stretches the reader's waits, so this cannot be passed spuriously.
  EXPECT_LE(link.pipe.GetCalls(MemoryPipe::kA) - before, 300u);
  // It does keep reading: an idle running link looks at its stream a few times a second, so
  // that it notices a stop.
  EXPECT_TRUE(Eventually([&] { return link.pipe.GetCalls(MemoryPipe::kA) - before >= 2; }, kBound));
}

// A wait that only a wake ends (or 10 s): what a stop and a sync request must do to a reader
// that sleeps between bytes.
struct WakeOnlyWait {
  std::mutex lock;
  std::condition_variable changed;
  bool woken = false;
  int waits = 0;
  int wakes = 0;
};
WakeOnlyWait gWakeOnly;

aErr sWaitForAWake(uint32_t, void*) {
  std::unique_lock<std::mutex> hold(gWakeOnly.lock);
  ++gWakeOnly.waits;
  gWakeOnly.changed.wait_for(hold, std::chrono::seconds(10), [] { return gWakeOnly.woken; });
  bool woken = gWakeOnly.woken;
  gWakeOnly.woken = false;
  return woken ? aErrNone : aErrTimeout;
}

void sWakeTheWait(void*) {
  {
    std::lock_guard<std::mutex> hold(gWakeOnly.lock);
    gWakeOnly.woken = true;
    ++gWakeOnly.wakes;
  }
  gWakeOnly.changed.notify_all();
}

TEST(Link, StopAndSyncWakeAReaderThatWaitsForAByte) {
  ScriptedStreamKind kind;
  aStream* stream = kind.CreateStream();
  ASSERT_EQ(aStream_SetWait(stream, sWaitForAWake), aErrNone);
  ASSERT_EQ(aStream_SetWake(stream, sWakeTheWait), aErrNone);
  aLinkRef ref = aLink_Create(stream);
  ASSERT_NE(ref, 0u);
  auto waiting = [] {
    std::lock_guard<std::mutex> hold(gWakeOnly.lock);
    return gWakeOnly.waits;
  };
  ASSERT_TRUE(Eventually([&] { return waiting() >= 1; }, kBound));
  // A sync request: the handshake's AD 00 packets go out at once, not after the wait.
  std::thread sync([ref] { aLink_Sync(ref); });
  EXPECT_TRUE(Eventually(
      [&] {
        std::vector<uint8_t> written = kind.written();
        return std::count(written.begin(), written.end(), uint8_t{0xAD}) > 0;
      },
      kBound));
  sync.join();
  // The stop: the reader leaves its wait, and the route-off packet still goes out.
  ASSERT_TRUE(Eventually([&] { return waiting() >= 2; }, kBound));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  std::vector<uint8_t> written = kind.written();
  const std::vector<uint8_t> routeOff{0xAF, 0x01, 0x00};
  EXPECT_NE(std::search(written.begin(), written.end(), routeOff.begin(), routeOff.end()), written.end());
  std::lock_guard<std::mutex> hold(gWakeOnly.lock);
  EXPECT_GE(gWakeOnly.wakes, 2);
}

TEST(Link, OverASocketPair) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  StreamPtr deviceEnd(CreateDescriptorStream(fds[1]));
  SimLinkDevice device;
  device.SetEcho(true);
  SimLinkStreamAdapter adapter(device, deviceEnd.get());
  aLinkRef ref = aLink_Create(CreateDescriptorStream(fds[0]));
  ASSERT_NE(ref, 0u);
  std::vector<uint8_t> payload{0x10, 0x20};
  ASSERT_EQ(aLink_PutPacket(ref, Packet(0x08, payload).get()), aErrNone);
  EXPECT_NE(PacketPtr(aLink_AwaitFirst(ref, SamePayload, &payload, kBound)), nullptr);
  // The reader sleeps in poll between bytes: an idle second costs next to no CPU.
  double cpu = ProcessCpuSeconds();
  aTime_MSSleep(1000);
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.1);
  int fdsBefore = CountOpenDescriptors();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(CountOpenDescriptors(), fdsBefore - 1);  // the link closed its stream
  EXPECT_TRUE(device.WaitForRoutes(2, kBound));
}

TEST(Link, StopFlushEndsAtTheFirstFailedWrite) {
  SimLinkPipe link;
  link.pipe.HoldWrites(MemoryPipe::kA);
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.pipe.WaitWriteHeld(MemoryPipe::kA, kBound));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(aLink_PutPacket(link.ref, Packet(0x08, {0x01}).get()), aErrNone);
  // Keep the record in sight while the destroy runs, to see when the stop has begun.
  linkItem* entry = sPinEntryByID(link.ref);
  link.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kWrite, 1000, aErrIO);
  link.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kPut, 1000, aErrIO);
  std::thread destroyer([&] { aLink_Destroy(&link.ref); });
  EXPECT_TRUE(Eventually([&] { return entry->link->running.load() == 0; }));
  link.pipe.ReleaseWrites(MemoryPipe::kA);
  destroyer.join();
  sUnpinEntry(&entry);
  // The held write, then one failed write of the flush, and nothing more.
  auto writes = link.pipe.Tap(MemoryPipe::kA);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].result, aErrIO);
}

TEST(Link, StopJoinsAReaderWithoutWriter) {
  int threads = SteadyThreadCount();
  MemoryPipe pipe;
  aLinkRef ref = sCreate(aLINK_STREAM_IDENT, 0, 0);
  ASSERT_EQ(aLink_Init(ref, pipe.Release(MemoryPipe::kA)), ref);
  aLink* link = sGetLink(ref);
  // As after a start whose writer could not be made.
  link->running = 1;
  link->readerThread = aThread_Create(link->readerProc, link);
  ASSERT_NE(link->readerThread, nullptr);
  ASSERT_TRUE(Eventually([&] { return link->readerRunning.load() == 1; }));
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  EXPECT_EQ(link->readerThread, nullptr);
  EXPECT_EQ(link->running.load(), 0);
  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusStopping);
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

TEST(Link, FailedCreateReleasesItsStream) {
  size_t registered = sRegistryCount();
  int threads = SteadyThreadCount();
  EXPECT_EQ(aLink_Create(nullptr), 0u);
  // A stream whose first read fails: the start never sees a running reader.
  ScriptedStreamKind kind;
  kind.Fail(aErrIO).EndWithEof();
  EXPECT_EQ(aLink_Create(kind.CreateStream()), 0u);
  EXPECT_EQ(kind.deleteCalls(), 1u);
  EXPECT_EQ(sRegistryCount(), registered);
  EXPECT_EQ(CountThreads(), threads);
}

TEST(Link, OperationsRacingTheLastReleaseAreSafe) {
  for (int round = 0; round < 20; ++round) {
    SimLinkPipe link;
    link.device.SetEcho(true);
    aLinkRef ref = link.Create();
    ASSERT_NE(ref, 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};  // of all users together
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
      users.emplace_back([&, t] {
        CountingFilter filter;
        PacketPtr packet = Packet(0x08, {0x10, static_cast<uint8_t>(t)});
        uint8_t data[8] = {};
        while (!stop) {
          aLink_PutPacket(ref, packet.get());
          PacketPtr(aLink_AwaitPacket(ref, 2));
          aLink_InstallUserPacketFilter(ref, CountingFilter::Proc, &filter);
          aLink_InstallUserPacketFilter(ref, nullptr, nullptr);
          aLink_PacketDebug_Enable(ref);
          aLink_PacketDebug_Write(ref, 3, 1, data);
          aLink_GetStatus(ref);
          rounds++;
        }
      });
    }
    // The users are at work before the release, and go on using the released ref after it.
    EXPECT_TRUE(Eventually([&] { return rounds.load() >= 3; }, kBound));
    EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
    int released = rounds.load();
    EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusInvalid);
    EXPECT_TRUE(Eventually([&] { return rounds.load() >= released + 3; }, kBound));
    stop = true;
    for (std::thread& user : users) user.join();
  }
}

TEST(Link, OverAWaitingGet) {
  // As over USB: get waits for a byte itself, and the stream has no wait procedure to use.
  SimLinkPipe link;
  link.device.SetEcho(true);
  link.pipe.SetGetWait(MemoryPipe::kA, 200);
  ASSERT_NE(link.Create(), 0u);
  std::vector<uint8_t> payload{0x10, 0x21};
  ASSERT_EQ(aLink_PutPacket(link.ref, Packet(0x08, payload).get()), aErrNone);
  EXPECT_NE(PacketPtr(aLink_AwaitFirst(link.ref, SamePayload, &payload, kBound)), nullptr);
  // Each get waits its 200 ms: at most one call per 200 ms of the window as it really
  // lasted, with room for twice that rate; a reader that polled besides goes far beyond.
  size_t before = link.pipe.GetCalls(MemoryPipe::kA);
  uint64_t windowStart = aTime_GetMonotonicMS();
  aTime_MSSleep(1000);
  size_t calls = link.pipe.GetCalls(MemoryPipe::kA) - before;
  EXPECT_LE(calls, (aTime_GetMonotonicMS() - windowStart) / 100 + 2);
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 1000u);
}

namespace {

struct Maker {
  aStream* stream;
  aErr result;
  static aErr Make(void* ref, aStream** stream) {
    auto* self = static_cast<Maker*>(ref);
    *stream = self->stream;
    return self->result;
  }
};

}  // namespace

TEST(LinkFactory, CreateRegisteredWithHandshake) {
  size_t registered = sRegistryCount();
  {
    SimLinkPipe link;
    link.device.SetSyncAnswers({SimLinkDevice::SyncAnswer::kNever});
    Maker maker{link.pipe.Release(MemoryPipe::kA), aErrNone};
    EXPECT_EQ(aLink_CreateRegistered(0x1234, 0, 0, 1, Maker::Make, &maker, true), 0u);
    EXPECT_EQ(sRegistryCount(), registered);
  }
  SimLinkPipe link;
  Maker maker{link.pipe.Release(MemoryPipe::kA), aErrNone};
  link.ref = aLink_CreateRegistered(0x1234, 0, 0, 1, Maker::Make, &maker, true);
  ASSERT_NE(link.ref, 0u);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);
  EXPECT_GE(link.device.SyncCount(), 2u);
  linkItem* entry = sLookupEntryByIdentifier(0x1234, 1);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->id, link.ref);
  EXPECT_EQ(entry->use_count, 1);

  // A maker that fails: nothing stays registered, and its id is not handed out again.
  ScriptedStreamKind kind;
  Maker failing{kind.CreateStream(), aErrNotFound};
  EXPECT_EQ(aLink_CreateRegistered(0x5678, 0, 0, 1, Maker::Make, &failing, false), 0u);
  EXPECT_EQ(kind.deleteCalls(), 1u);
  SimLinkPipe next;
  EXPECT_EQ(next.Create(), link.ref + 2);
}

TEST(LinkFactory, ReleasingAClientReleasesItsDeviceLink) {
  SimLinkPipe device;
  SimLinkPipe client;
  ASSERT_NE(device.Create(), 0u);
  ASSERT_NE(client.Create(), 0u);
  // The client holds the device link's use, as a client made for a link server does.
  sLookupEntryByID(client.ref)->deviceLinkId = device.ref;
  aLinkRef deviceRef = device.ref;
  device.ref = 0;
  EXPECT_EQ(aLink_Destroy(&client.ref), aErrNone);
  EXPECT_EQ(aLink_GetStatus(deviceRef), kLinkStatusInvalid);
  EXPECT_TRUE(device.device.WaitForRoutes(2, kBound));
}

TEST(LinkFactory, ShareRegistered) {
  SimLinkPipe link;
  Maker maker{link.pipe.Release(MemoryPipe::kA), aErrNone};
  link.ref = aLink_CreateRegistered(0x4321, 0, 0, 3, Maker::Make, &maker, false);
  ASSERT_NE(link.ref, 0u);
  bool found = false;
  EXPECT_EQ(aLink_ShareRegistered(0x4321, 2, false, &found), 0u);  // another type
  EXPECT_FALSE(found);
  EXPECT_EQ(aLink_ShareRegistered(0x4321, 3, false, &found), link.ref);
  EXPECT_TRUE(found);
  linkItem* entry = sLookupEntryByID(link.ref);
  EXPECT_EQ(entry->use_count, 2);
  // A fronted link is refused where the factory asks for it.
  entry->server = reinterpret_cast<aServer*>(&found);
  EXPECT_EQ(aLink_ShareRegistered(0x4321, 3, true, &found), 0u);
  EXPECT_TRUE(found);
  entry->server = nullptr;
  // The first release keeps the link running; the second ends it.
  aLinkRef second = link.ref;
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);
  EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
  EXPECT_TRUE(link.device.WaitForRoutes(2, kBound));
}
