// Value streams end to end: a Module's Link over loopback TCP against the simulated device's
// stream control and sample emitter. Registrations, the value cache, callbacks on the worker,
// the ring's overflow, and Links that go while the device streams.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "SimSystemEntity.h"
#include "SystemClass.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 10000;
constexpr uint8_t kModule = 2;

// What a callback saw: the samples in order and the threads it ran on.
struct Recorder {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> wires;
  std::set<std::thread::id> threads;

  static uint8_t Proc(const aPacket* packet, void* ref) {
    auto* self = static_cast<Recorder*>(ref);
    std::lock_guard<std::mutex> hold(self->mutex);
    self->wires.push_back(WireBytes(packet));
    self->threads.insert(std::this_thread::get_id());
    return 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(mutex);
    return wires.size();
  }
  std::vector<std::vector<uint8_t>> Wires() {
    std::lock_guard<std::mutex> hold(mutex);
    return wires;
  }
  bool WaitFor(size_t n) {
    return Eventually([&] { return Count() >= n; }, kBound);
  }
};

// A kind-3 sample of (3, option, 0) from the module with `value`.
std::vector<uint8_t> U32(uint8_t option, uint32_t value) {
  return StreamSampleBytes(kModule, {3, 3, option, 0, 0, 0x0000000100000000ull + value, value});
}

// `n` kind-3 samples of option 5 with the values 1 to n.
std::vector<std::vector<uint8_t>> Counting(uint32_t n, uint8_t option = 5) {
  std::vector<std::vector<uint8_t>> samples;
  for (uint32_t i = 1; i <= n; ++i) samples.push_back(U32(option, i));
  return samples;
}

// The value of a kind-3 sample's wire form.
uint32_t ValueOf(const std::vector<uint8_t>& wire) {
  return static_cast<uint32_t>(wire[14]) << 24 | wire[15] << 16 | wire[16] << 8 | wire[17];
}

class LinkStreams : public testing::Test {
 protected:
  LinkStreams() : rig_(kModule) {}
  void SetUp() override {
    LoadSystemEntity(network(), kModule);
    ASSERT_EQ(rig_.Connect(), aErrNone);
    ASSERT_EQ(rig_.module.getModuleAddress(), kModule);
    // The emitter's thread now, so that thread counts taken later see only the Link's.
    device().Samples().Start({}, 0);
  }
  // Every registration removed, so the worker is joined: a test's last step while the user
  // pointers it registered still live.
  void RemoveAll() {
    device().Samples().Stop();
    device().Samples().WaitIdle(kBound);
    EXPECT_EQ(link().registerStreamCallback(kModule, 0xFF, 0xFF, 0xFF, false, nullptr, nullptr), aErrNone);
  }

  Link& link() { return rig_.link(); }
  SimNetwork& network() { return rig_.network(); }
  SimLinkDevice& device() { return rig_.sim.device; }
  void Stream(std::vector<std::vector<uint8_t>> samples) {
    uint64_t n = samples.size();
    device().Samples().Start(std::move(samples), n);
    ASSERT_TRUE(device().Samples().WaitIdle(kBound));
  }
  // The wire forms the device received since `from`.
  std::vector<std::vector<uint8_t>> ReceivedFrom(size_t from) { return ReceivedSince(device(), from); }
  bool Received(const std::vector<uint8_t>& wire) {
    for (const auto& got : ReceivedFrom(0))
      if (got == wire) return true;
    return false;
  }

  TcpModuleRig rig_;
};

}  // namespace

TEST_F(LinkStreams, SamplesReachTheCallbackInOrderAndTheCache) {
  int threads = CountThreads();
  Recorder seen;
  size_t before = device().PacketCount();
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 0xFF, 0, true, Recorder::Proc, &seen), aErrNone);
  EXPECT_EQ(ReceivedFrom(before).at(0), HexBytes("02 07 5D 81 20 02 03 FF 00"));
  uint8_t on = 0;
  EXPECT_EQ(link().isLinkStreaming(kModule, &on), aErrNone);
  EXPECT_EQ(on, 1);

  const uint64_t ts = 0x0000000A0000000Bull;
  std::vector<std::vector<uint8_t>> samples = {
      StreamSampleBytes(kModule, {1, 3, 5, 0, 0, ts, 0x15}),
      StreamSampleBytes(kModule, {2, 3, 6, 0, 0, ts, 0x1616}),
      StreamSampleBytes(kModule, {3, 3, 7, 0, 0, ts, 0x17171717}),
      StreamSampleBytes(kModule, {5, 3, 10, 0, 1, ts, 0x1A}),
      StreamSampleBytes(kModule, {6, 3, 11, 0, 2, ts, 0x1B1B}),
      StreamSampleBytes(kModule, {7, 3, 12, 0, 3, ts, 0x1C1C1C1C}),
      StreamSampleBytes(kModule, {1, 3, 5, 0, 0, ts, 0x25}),
  };
  Stream(samples);
  ASSERT_TRUE(seen.WaitFor(samples.size()));
  EXPECT_EQ(seen.Wires(), samples);
  ASSERT_EQ(seen.threads.size(), 1u);
  EXPECT_NE(*seen.threads.begin(), std::this_thread::get_id());

  uint32_t value = 0;
  EXPECT_EQ(link().getStreamValue(kModule, 3, 5, 0, 0, &value), aErrNone);
  EXPECT_EQ(value, 0x25u);
  value = 0;
  EXPECT_EQ(link().getStreamValue(kModule, 3, 5, 0, 0, &value), aErrStreamStale);
  EXPECT_EQ(value, 0x25u);
  EXPECT_EQ(link().getStreamValue(kModule, 3, 12, 0, 3, &value), aErrNone);
  EXPECT_EQ(value, 0x1C1C1C1Cu);
  EXPECT_EQ(link().getStreamValue(kModule, 3, 12, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(link().getStreamValue(kModule, 3, 5, 0, 0, nullptr), aErrParam);

  // Entity gets ask the cache first: no request goes out.
  Stream({U32(9, 0xCAFEF00D)});
  ASSERT_TRUE(seen.WaitFor(samples.size() + 1));
  SystemClass system;
  system.init(&rig_.module, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0xCAFEF00Du);
  EXPECT_FALSE(Received(HexBytes("02 03 03 49 20")));

  // The status lists cached values only, never the registration.
  Link::StreamStatusEntry entries[16];
  size_t count = 99;
  EXPECT_EQ(link().getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 16, &count), aErrNone);
  ASSERT_EQ(count, 7u);
  EXPECT_EQ(entries[0].key, Link::createStreamKey(kModule, 3, 5, 0, 0));
  EXPECT_EQ(entries[0].value, 0x25u);
  for (size_t i = 0; i < count; ++i) EXPECT_NE(Link::getStreamKeyElement(entries[i].key, Link::STREAM_KEY_SUBINDEX), 0xFF);
  count = 99;
  EXPECT_EQ(link().getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 2, &count), aErrSize);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(link().getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 0, &count), aErrParam);
  EXPECT_EQ(link().getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, nullptr, 2, &count), aErrParam);
  EXPECT_EQ(link().getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 2, nullptr), aErrParam);

  // Taken and delivered, never cached: a byte-sequence packet and a sample of the wrong length.
  size_t delivered = seen.Count();
  std::vector<uint8_t> bytes = StreamSampleBytes(kModule, {4, 3, 13, 0, 0, ts, 1, 0x81});
  std::vector<uint8_t> wrongLength = StreamSampleBytes(kModule, {3, 3, 14, 0, 0, ts, 1, 0, 16});
  Stream({bytes, wrongLength});
  ASSERT_TRUE(seen.WaitFor(delivered + 2));
  EXPECT_EQ(seen.Wires()[delivered], bytes);
  EXPECT_EQ(seen.Wires()[delivered + 1], wrongLength);
  EXPECT_EQ(link().getStreamValue(kModule, 3, 13, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(link().getStreamValue(kModule, 3, 14, 0, 0, &value), aErrNotFound);

  // Kind bytes 0 and 8 with trailer 0 are left to the link.
  std::vector<uint8_t> kind0 = StreamSampleBytes(kModule, {0, 3, 15, 0, 0, ts, 1});
  std::vector<uint8_t> kind8 = StreamSampleBytes(kModule, {8, 3, 15, 0, 0, ts, 1});
  Stream({kind0, kind8});
  for (const std::vector<uint8_t>* wire : {&kind0, &kind8}) {
    uint8_t length = 0;
    uint8_t out[aPACKET_MAX_DATA];
    ASSERT_EQ(link().receivePacket(kModule, nullptr, &length, out), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(out, out + length), std::vector<uint8_t>(wire->begin() + 2, wire->end()));
  }
  EXPECT_EQ(seen.Count(), delivered + 2);

  // The last removal: the device is told, the worker ends, and samples are ordinary packets.
  network().SetStreamGoOnAfterDisable(kModule, true);
  before = device().PacketCount();
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 0xFF, 0, false, nullptr, nullptr), aErrNone);
  EXPECT_EQ(ReceivedFrom(before).at(0), HexBytes("02 07 5D 82 20 02 03 FF 00"));
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
  std::vector<uint8_t> after = U32(5, 0x99);
  Stream({after});
  uint8_t length = 0;
  uint8_t out[aPACKET_MAX_DATA];
  ASSERT_EQ(link().receivePacket(kModule, nullptr, &length, out), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(out, out + length), std::vector<uint8_t>(after.begin() + 2, after.end()));
  EXPECT_EQ(link().getStreamValue(kModule, 3, 5, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(seen.Count(), delivered + 2);
}

TEST_F(LinkStreams, AFailedEnableUndoesOnlyItsOwnChange) {
  Recorder first, second;
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, Recorder::Proc, &first), aErrNone);
  struct Row {
    const char* what;
    SimStreamControl::Answer answer;
    uint8_t option;  // the failing registration's option
    aErr result;
  };
  const Row rows[] = {
      {"refused wildcard", SimStreamControl::Answer::kRefuse, 0xFF, aErrInvalidOption},
      {"ignored wildcard", SimStreamControl::Answer::kSilent, 0xFF, aErrTimeout},
      {"refused replacement", SimStreamControl::Answer::kRefuse, 5, aErrInvalidOption},
      {"ignored replacement", SimStreamControl::Answer::kSilent, 5, aErrTimeout},
  };
  uint32_t value = 0;
  for (const Row& row : rows) {
    network().SetStreamAnswer(kModule, row.answer, aErrInvalidOption);
    EXPECT_EQ(link().registerStreamCallback(kModule, 3, row.option, 0, true, Recorder::Proc, &second), row.result)
        << row.what;
    network().SetStreamAnswer(kModule, SimStreamControl::Answer::kAcknowledge);
    // The registration made before goes on, with its own callback.
    size_t had = first.Count();
    Stream({U32(5, ++value)});
    EXPECT_TRUE(first.WaitFor(had + 1)) << row.what;
    EXPECT_EQ(second.Count(), 0u) << row.what;
    EXPECT_EQ(link().filterActiveStreamKeys(kModule, 3, 0xFF, 0, 0xFF, true).size(), 2u) << row.what;
  }
  for (uint8_t odd : {uint8_t{0xFF}, uint8_t{3}})
    EXPECT_EQ(link().registerStreamCallback(odd, 3, 5, 0, true, Recorder::Proc, &second), aErrParam);
  // Module 0 passes the check, fails at the device and is removed again.
  EXPECT_EQ(link().registerStreamCallback(0, 3, 5, 0, true, Recorder::Proc, &second), aErrPacket);
  EXPECT_TRUE(link().filterActiveStreamKeys(0, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  RemoveAll();
}

TEST_F(LinkStreams, ALateAcknowledgementAnswersNoLaterRequest) {
  Recorder seen;
  network().AddFault({0x5D, 0x81}, SimFault::Late(1500));
  EXPECT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, Recorder::Proc, &seen), aErrTimeout);
  ASSERT_TRUE(DeviceOutputQueuedOn(link(), device(), kModule, kBound));  // the late acknowledgement is queued
  network().SetStreamAnswer(kModule, SimStreamControl::Answer::kRefuse, aErrBusy);
  EXPECT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, Recorder::Proc, &seen), aErrBusy);
  network().SetStreamAnswer(kModule, SimStreamControl::Answer::kAcknowledge);
  // The device did take the first enable, late.
  uint8_t on = 9;
  EXPECT_EQ(link().isLinkStreaming(kModule, &on), aErrNone);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(link().isLinkStreaming(kModule, nullptr), aErrParam);
  RemoveAll();
}

TEST_F(LinkStreams, AFullRingDropsForTheCallbacksButNotForTheCache) {
  std::latch release(1);
  std::atomic<int> calls{0};
  std::atomic<uint32_t> last{0};
  auto blocked = [&](const aPacket* packet, void*) -> uint8_t {
    if (calls.fetch_add(1) == 0) release.wait();
    last = ValueOf(WireBytes(packet));
    return 0;
  };
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, blocked, nullptr), aErrNone);
  Stream(Counting(600));
  uint32_t value = 0;
  EXPECT_TRUE(Eventually([&] {
    return link().getStreamValue(kModule, 3, 5, 0, 0, &value) != aErrNotFound && value == 600;
  }, kBound));
  release.count_down();
  ASSERT_TRUE(Eventually([&] { return calls.load() >= 499; }, kBound));
  // One more sample, delivered after whatever the ring still held.
  Stream({U32(5, 601)});
  ASSERT_TRUE(Eventually([&] { return last.load() == 601; }, kBound));
  // The ring's 499 and the one in hand when the burst came, or the ring's alone; then 601.
  EXPECT_GE(calls.load(), 499 + 1);
  EXPECT_LE(calls.load(), 500 + 1);
  RemoveAll();
}

TEST_F(LinkStreams, APacedStreamTheCallbackKeepsUpWithLosesNothing) {
  // Samples 500 us apart: the worker empties the ring and sleeps between them, so each is a
  // wake-up, and one lost wake-up leaves the worker asleep for its backstop while the ring
  // overflows. The ring holds a quarter of a second of them, for a loaded machine.
  constexpr uint32_t kSamples = 4000;
  Recorder seen;
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, Recorder::Proc, &seen), aErrNone);
  device().Samples().Start(Counting(kSamples), kSamples, 2000);
  ASSERT_TRUE(device().Samples().WaitIdle(kBound));
  ASSERT_TRUE(seen.WaitFor(kSamples)) << seen.Count();
  std::vector<std::vector<uint8_t>> wires = seen.Wires();
  for (uint32_t i = 0; i < kSamples; ++i) ASSERT_EQ(ValueOf(wires[i]), i + 1) << i;
  RemoveAll();
}

TEST_F(LinkStreams, AStopDuringABurstEndsAfterTheCallbackInHand) {
  std::atomic<int> calls{0};
  auto slow = [&](const aPacket*, void*) -> uint8_t {
    calls++;
    aTime_MSSleep(5);
    return 0;
  };
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, slow, nullptr), aErrNone);
  // The ring fills at once and takes seconds to work off.
  Stream(Counting(2000));
  ASSERT_TRUE(Eventually([&] { return calls.load() >= 10; }, kBound));
  int atStop = calls.load();
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, false, nullptr, nullptr), aErrNone);
  // The callback in hand, and one begun while the removal took the filter off.
  EXPECT_LE(calls.load() - atStop, 2);
}

TEST_F(LinkStreams, AStopDuringAnIdleWaitIsNoticedAtOnce) {
  int threads = CountThreads();
  std::atomic<long> worker{0};
  auto note = [&](const aPacket*, void*) -> uint8_t {
    worker = CurrentThreadId();
    return 0;
  };
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, note, nullptr), aErrNone);
    worker = 0;
    Stream({U32(5, 1)});
    ASSERT_TRUE(Eventually([&] { return worker.load() != 0; }, kBound));
    ASSERT_TRUE(Eventually([&] { return ThreadState(worker.load()) == 'S'; }, kBound)) << "the worker sleeps";
    // The removal joins the worker before it asks the device; a stop left to the worker's
    // backstop would take all of it.
    uint64_t start = aTime_GetMonotonicMS();
    ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, false, nullptr, nullptr), aErrNone);
    EXPECT_LT(aTime_GetMonotonicMS() - start, static_cast<uint64_t>(kWorkerIdleBound.count() / 2));
    EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
  }
}

TEST_F(LinkStreams, ACallbackThatRemovesTheLastRegistrationEndsTheWorker) {
  int threads = CountThreads();
  struct Context {
    Link* link;
    std::atomic<int> calls{0};
    std::atomic<aErr> removed{aErrUnknown};
  } context{&link()};
  auto removing = [](const aPacket*, void* ref) -> uint8_t {
    auto* self = static_cast<Context*>(ref);
    if (self->calls.fetch_add(1) == 0) self->removed = self->link->registerStreamCallback(kModule, 3, 5, 0, false, nullptr, nullptr);
    return 0;
  };
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, removing, &context), aErrNone);
  Stream(Counting(50));
  EXPECT_TRUE(Eventually([&] { return context.removed.load() == aErrNone; }, kBound));
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
  EXPECT_EQ(context.calls.load(), 1);
  // A new registration starts a new worker, which delivers again.
  Recorder seen;
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, Recorder::Proc, &seen), aErrNone);
  Stream(Counting(3));
  EXPECT_TRUE(seen.WaitFor(3));
  RemoveAll();
}

TEST_F(LinkStreams, ARegistrationRightAfterTheLastRemovalDeliversNothingTwice) {
  Recorder seen;
  // A rate the link keeps up with under a loaded sanitizer run: the device sends its
  // acknowledgements behind the samples already queued.
  device().Samples().Start(Counting(200000), 200000, 5000);
  for (int round = 0; round < 40; ++round) {
    ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, true, Recorder::Proc, &seen), aErrNone);
    aTime_MSSleep(5);
    ASSERT_EQ(link().registerStreamCallback(kModule, 3, 5, 0, false, nullptr, nullptr), aErrNone);
  }
  device().Samples().Stop();
  std::vector<std::vector<uint8_t>> wires = seen.Wires();
  EXPECT_GT(wires.size(), 0u);
  for (size_t i = 1; i < wires.size(); ++i) ASSERT_LT(ValueOf(wires[i - 1]), ValueOf(wires[i])) << i;
}

TEST_F(LinkStreams, StatusReadsWhileACallbackChangesTheTable) {
  // The callback of option 6 removes and renews option 5's registration, which takes its cached
  // value with it, while this thread lists the cached values.
  struct Context {
    Link* link;
    std::atomic<int> renewals{0};
  } context{&link()};
  auto renewing = [](const aPacket*, void* ref) -> uint8_t {
    auto* self = static_cast<Context*>(ref);
    self->link->registerStreamCallback(kModule, 3, 5, 0, false, nullptr, nullptr);
    self->link->enableStream(kModule, 3, 5, 0, true);
    self->renewals++;
    return 0;
  };
  ASSERT_EQ(link().enableStream(kModule, 3, 5, 0, true), aErrNone);
  ASSERT_EQ(link().registerStreamCallback(kModule, 3, 6, 0, true, renewing, &context), aErrNone);
  std::vector<std::vector<uint8_t>> samples;
  for (uint32_t i = 1; i <= 100; ++i) {
    samples.push_back(U32(5, i));
    samples.push_back(U32(6, i));
  }
  device().Samples().Start(samples, 0, 20000);
  // Reads go on until the table has changed many times under them. The yield between reads
  // lets the callback's re-registration have the lock this loop would otherwise retake at
  // once; the bound only guards against a hang.
  constexpr int kRenewals = 50;
  Link::StreamStatusEntry entries[4];
  uint64_t deadline = aTime_GetMonotonicMS() + kBound;
  while (context.renewals.load() < kRenewals && aTime_GetMonotonicMS() < deadline) {
    size_t count = 0;
    ASSERT_EQ(link().getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 4, &count), aErrNone);
    ASSERT_LE(count, 2u);
    std::this_thread::yield();
  }
  device().Samples().Stop();
  EXPECT_GE(context.renewals.load(), kRenewals);
  RemoveAll();
}

// Links that go while the device streams at full rate.
TEST(LinkStreamLifetimes, NoCallbackRunsAfterTheLinkIsDestroyed) {
  TcpSimDevice sim(kModule);
  LoadSystemEntity(sim.device.Network(), kModule);
  auto module = std::make_unique<Module>(0, true, 0);
  module->setConfig(DirectConfig());
  ASSERT_EQ(module->connectFromSpec(sim.Spec()), aErrNone);
  struct Watch {
    std::atomic<bool> destroyed{false};
    std::atomic<int> calls{0};
    std::atomic<int> late{0};
  } watch;
  auto proc = [](const aPacket*, void* ref) -> uint8_t {
    auto* self = static_cast<Watch*>(ref);
    self->calls++;
    if (self->destroyed.load()) self->late++;
    return 0;
  };
  ASSERT_EQ(module->getLink()->registerStreamCallback(kModule, 3, 0xFF, 0, true, proc, &watch), aErrNone);
  sim.device.Samples().Start(Counting(1000), 0);
  EXPECT_TRUE(Eventually([&] { return watch.calls.load() > 1000; }, kBound));
  module.reset();
  watch.destroyed = true;
  aTime_MSSleep(100);
  sim.device.Samples().Stop();
  EXPECT_EQ(watch.late.load(), 0);
}

TEST(LinkStreamLifetimes, OneLinkGoingLeavesTheOtherLinksStreams) {
  // Which Link registers last (and so holds the link's filter), and how the other one goes.
  enum class Goes { kDisconnectedThenDestroyed, kDestroyedConnected, kRemovesItsRegistration };
  struct Row {
    const char* what;
    bool goingRegistersLast;
    Goes how;
  };
  const Row rows[] = {
      {"staying last, other disconnected", false, Goes::kDisconnectedThenDestroyed},
      {"staying last, other destroyed", false, Goes::kDestroyedConnected},
      {"staying last, other unregisters", false, Goes::kRemovesItsRegistration},
      {"going last, disconnected", true, Goes::kDisconnectedThenDestroyed},
      {"going last, destroyed", true, Goes::kDestroyedConnected},
  };
  for (const Row& row : rows) {
    TcpSimDevice sim(kModule);
    LoadSystemEntity(sim.device.Network(), kModule);
    // The user pointers outlive the Links.
    Recorder goingSeen, stayingSeen;
    auto going = std::make_unique<Module>(0, true, 0);
    auto staying = std::make_unique<Module>(0, true, 0);
    for (Module* m : {going.get(), staying.get()}) {
      m->setConfig(DirectConfig());
      ASSERT_EQ(m->connectFromSpec(sim.Spec()), aErrNone) << row.what;
    }
    auto registerOn = [&](Module& m, Recorder& r) {
      return m.getLink()->registerStreamCallback(kModule, 3, 0xFF, 0, true, Recorder::Proc, &r);
    };
    if (row.goingRegistersLast) {
      ASSERT_EQ(registerOn(*staying, stayingSeen), aErrNone);
      ASSERT_EQ(registerOn(*going, goingSeen), aErrNone);
    } else {
      ASSERT_EQ(registerOn(*going, goingSeen), aErrNone);
      ASSERT_EQ(registerOn(*staying, stayingSeen), aErrNone);
    }
    // The device keeps streaming whatever the going Link asks.
    sim.device.Network().SetStreamGoOnAfterDisable(kModule, true);
    sim.device.Samples().Start(Counting(1000), 0);
    Recorder& holder = row.goingRegistersLast ? goingSeen : stayingSeen;
    EXPECT_TRUE(holder.WaitFor(100)) << row.what;
    switch (row.how) {
      case Goes::kDisconnectedThenDestroyed:
        EXPECT_EQ(going->disconnect(), aErrNone);
        going.reset();
        break;
      case Goes::kDestroyedConnected:
        going.reset();
        break;
      case Goes::kRemovesItsRegistration:
        EXPECT_EQ(going->getLink()->registerStreamCallback(kModule, 3, 0xFF, 0, false, nullptr, nullptr), aErrNone);
        break;
    }
    if (!row.goingRegistersLast) {
      // The staying Link's filter was not taken with the other's.
      size_t had = stayingSeen.Count();
      EXPECT_TRUE(stayingSeen.WaitFor(had + 1000)) << row.what;
    } else {
      // Samples go on meeting whatever filter is left on the link.
      uint64_t sent = sim.device.Samples().Sent();
      EXPECT_TRUE(Eventually([&] { return sim.device.Samples().Sent() >= sent + 1000; }, kBound)) << row.what;
    }
    EXPECT_TRUE(staying->isConnected()) << row.what;
    sim.device.Samples().Stop();
    EXPECT_TRUE(sim.device.Samples().WaitIdle(kBound));
  }
}
