// Value streams over loopback TCP: kind-3 samples (19 bytes on the wire) from the simulated
// device's emitter into a Module's Link, beside a plain user filter on the same link.
//   api_stream_taken          samples a second the stream filter takes off the link (delivered
//                             plus dropped) in a 200 000-sample burst, one wildcard registration;
//                             baseline raw_filter, the same burst counted by a filter installed
//                             with aLink_InstallUserPacketFilter. Target: ratio at least 0.75.
//   api_stream_taken_100      the same with 100 unrelated registrations. Target: at least 0.7.
//   api_stream_delivered      callbacks a second in the same bursts, beside raw_filter. Target:
//                             at least 0.7. _dropped: samples the callback missed, beside `sent`.
//                             Target: at most 0.1.
//   api_stream_paced_drops    samples dropped over 2 s at 100 000 a second, baseline `sent`.
//                             Target: ratio at most 0.001. Also at 200 000 and 300 000 (_200k,
//                             _300k), without target.
//   api_stream_idle_cpu       CPU a second of a connected Link with two registered streams and no
//                             samples, beside no_link (the same device and listener, nothing
//                             connected); the ratio is the difference. Target: at most 0.001.
//                             _streams: the same beside the Link connected without streams, so
//                             that the ratio is the streams' own share, the link engine's apart.
//   api_stream_paced_cpu      CPU a second over 2 s while the device streams 2 000 samples a
//                             second of two registered streams, beside link_without_streams (the
//                             device sends the same samples, taken by a plain filter); the ratio
//                             is the difference, the streams' own share. Target: at most 0.02.
//                             _20k: the same at 20 000 a second, without target.
// Stream and raw blocks alternate, three of each, and idle and paced blocks of 2 s five of each
// (the figures take their medians), so that the machine's load meets both alike.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFigure.h"
#include "BenchIdleCpu.h"
#include "BenchTiming.h"
#include "DeviceRigs.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "SimSystemEntity.h"

using namespace Tavrin::Corvantis;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kModule = 2;
constexpr uint32_t kBurst = 200000;
constexpr int kRounds = 3;
constexpr uint64_t kBound = 30000;
constexpr double kIdleSeconds = 2;
constexpr int kIdleRounds = 5;
constexpr double kPacedSeconds = 2;

struct Counts {
  std::atomic<uint64_t> calls{0};
  std::atomic<int64_t> lastNs{0};
};

uint8_t sCount(const aPacket*, void* ref) {
  auto* counts = static_cast<Counts*>(ref);
  counts->calls.fetch_add(1, std::memory_order_relaxed);
  counts->lastNs.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return 0;
}

std::atomic<uint64_t> gRawTaken{0};
uint8_t sRawFilter(const aPacket*, void*) {
  gRawTaken.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

std::vector<std::vector<uint8_t>> Burst(uint32_t n, uint32_t first) {
  std::vector<std::vector<uint8_t>> samples;
  samples.reserve(n);
  for (uint32_t i = 0; i < n; ++i) samples.push_back(StreamSampleBytes(kModule, {3, 3, 5, 0, 0, i, first + i}));
  return samples;
}

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

class Bench {
 public:
  bool Open() {
    LoadSystemEntity(rig.network(), kModule);
    rig.sim.device.SetRecording(false);
    // The raw blocks run without the stream filter: the device goes on streaming regardless.
    rig.network().SetStreamGoOnAfterDisable(kModule, true);
    return rig.Connect() == aErrNone && Register();
  }
  bool Register() {
    return rig.link().registerStreamCallback(kModule, 3, 0xFF, 0, true, sCount, &counts) == aErrNone;
  }

  // Samples a second the stream filter takes: until the cache holds the burst's last value.
  double StreamBlock(uint32_t first, uint64_t* delivered, double* deliveredRate) {
    if (!Register()) return 0;
    uint64_t callsBefore = counts.calls.load();
    std::vector<std::vector<uint8_t>> samples = Burst(kBurst, first);
    uint32_t last = first + kBurst - 1;
    Clock::time_point start = Clock::now();
    rig.sim.device.Samples().Start(std::move(samples), kBurst);
    uint32_t value = 0;
    bool done = Eventually(
        [&] { return rig.link().getStreamValue(kModule, 3, 5, 0, 0, &value) != aErrNotFound && value == last; },
        kBound, 1);
    Clock::time_point end = Clock::now();
    // The worker's last calls come within a few ms.
    Eventually([&] { return counts.calls.load() - callsBefore >= kBurst; }, 200, 5);
    *delivered = counts.calls.load() - callsBefore;
    Clock::time_point lastCall(Clock::duration(counts.lastNs.load()));
    *deliveredRate = *delivered / Seconds(start, lastCall);
    return done ? kBurst / Seconds(start, end) : 0;
  }

  double RawBlock(uint32_t first) {
    aLinkRef ref = heldLinkRef(rig.link());
    aLink_InstallUserPacketFilter(ref, sRawFilter, nullptr);
    gRawTaken = 0;
    Clock::time_point start = Clock::now();
    rig.sim.device.Samples().Start(Burst(kBurst, first), kBurst);
    bool done = Eventually([&] { return gRawTaken.load() >= kBurst; }, kBound, 1);
    Clock::time_point end = Clock::now();
    aLink_InstallUserPacketFilter(ref, nullptr, nullptr);
    return done ? kBurst / Seconds(start, end) : 0;
  }

  // Samples dropped for the callback in 2 s at `perSecond`; *sent gets how many went out.
  uint64_t Paced(uint32_t perSecond, uint64_t* sent) {
    Register();
    uint32_t n = perSecond * 2;
    uint64_t before = rig.sim.device.Samples().Sent();
    uint64_t callsBefore = counts.calls.load();
    rig.sim.device.Samples().Start(Burst(n, 1), n, perSecond);
    rig.sim.device.Samples().WaitIdle(kBound);
    *sent = rig.sim.device.Samples().Sent() - before;
    Eventually([&] { return counts.calls.load() - callsBefore >= *sent; }, 500, 5);
    return *sent - (counts.calls.load() - callsBefore);
  }

  TcpModuleRig rig{kModule};
  Counts counts;
};

// CPU a second of this process beside a device that sends nothing: with no Link connected,
// with one connected, and with one that has two stream registrations.
enum class Idle { kNoLink, kLink, kStreams };
double IdleBlock(Idle what) {
  Counts counts;  // outlives the Link's worker
  TcpModuleRig rig{kModule};
  LoadSystemEntity(rig.network(), kModule);
  if (what != Idle::kNoLink && rig.Connect() != aErrNone) return -1;
  if (what == Idle::kStreams) {
    for (uint8_t option : {5, 6})
      if (rig.link().registerStreamCallback(kModule, 3, option, 0, true, sCount, &counts) != aErrNone) return -1;
  }
  // What the connection and the registrations set going has settled.
  aTime_MSSleep(200);
  return IdleCpuPerSecond(kIdleSeconds);
}

int IdleFigures() {
  std::vector<double> none, link, streams;
  for (int round = 0; round < kIdleRounds; ++round) {
    double n = IdleBlock(Idle::kNoLink), l = IdleBlock(Idle::kLink), s = IdleBlock(Idle::kStreams);
    if (l < 0 || s < 0) {
      fprintf(stderr, "bench_api_stream: the idle Link did not connect or register\n");
      return 1;
    }
    none.push_back(n);
    link.push_back(l);
    streams.push_back(s);
  }
  // Medians: one block that the machine's load hit hard would move a mean by more than the
  // whole difference looked for.
  double s = Percentile(streams, 0.5), n = Percentile(none, 0.5), l = Percentile(link, 0.5);
  PrintIdleFigure("api_stream_idle_cpu", s, "no_link", n);
  PrintIdleFigure("api_stream_idle_cpu_streams", s, "link_without_streams", l);
  return 0;
}

// CPU a second of this process while the device streams `perSecond` samples, of options 5 and
// 6 in turn, to a Link: with both registered, or with none and the samples taken by a plain
// filter (the device goes on streaming after the removal). -1 when the Link did not connect or
// register, the device did not keep its pace, or nothing was taken.
enum class Paced { kStreams, kPlainFilter };
double PacedBlock(Paced what, uint32_t perSecond) {
  Counts counts;  // outlives the Link's worker
  TcpModuleRig rig{kModule};
  LoadSystemEntity(rig.network(), kModule);
  rig.sim.device.SetRecording(false);
  rig.network().SetStreamGoOnAfterDisable(kModule, true);
  if (rig.Connect() != aErrNone) return -1;
  for (uint8_t option : {5, 6})
    if (rig.link().registerStreamCallback(kModule, 3, option, 0, true, sCount, &counts) != aErrNone) return -1;
  if (what == Paced::kPlainFilter) {
    if (rig.link().registerStreamCallback(kModule, 3, 0xFF, 0xFF, false, nullptr, nullptr) != aErrNone) return -1;
    aLink_InstallUserPacketFilter(heldLinkRef(rig.link()), sRawFilter, nullptr);
  }
  std::vector<std::vector<uint8_t>> samples;
  for (uint32_t i = 0; i < 2 * perSecond; ++i)
    samples.push_back(StreamSampleBytes(kModule, {3, 3, static_cast<uint8_t>(5 + i % 2), 0, 0, i, i}));
  gRawTaken = 0;
  rig.sim.device.Samples().Start(std::move(samples), 0, perSecond);
  // The pace has set in.
  aTime_MSSleep(200);
  uint64_t before = rig.sim.device.Samples().Sent();
  double cpu = IdleCpuPerSecond(kPacedSeconds);
  uint64_t sent = rig.sim.device.Samples().Sent() - before;
  rig.sim.device.Samples().Stop();
  rig.sim.device.Samples().WaitIdle(kBound);
  if (what == Paced::kPlainFilter) aLink_InstallUserPacketFilter(heldLinkRef(rig.link()), nullptr, nullptr);
  // A device that fell far behind its pace would make a figure of something else.
  if (sent < perSecond * kPacedSeconds * 0.9) {
    fprintf(stderr, "bench_api_stream: %llu samples sent in %g s at %u a second\n",
            static_cast<unsigned long long>(sent), kPacedSeconds, perSecond);
    return -1;
  }
  return (what == Paced::kStreams ? counts.calls.load() : gRawTaken.load()) > 0 ? cpu : -1;
}

int PacedFigures() {
  struct Pace {
    const char* name;
    uint32_t perSecond;
    std::vector<double> streams, plain;
  };
  Pace paces[] = {{"api_stream_paced_cpu", 2000, {}, {}}, {"api_stream_paced_cpu_20k", 20000, {}, {}}};
  for (int round = 0; round < kIdleRounds; ++round) {
    for (Pace& pace : paces) {
      double s = PacedBlock(Paced::kStreams, pace.perSecond), p = PacedBlock(Paced::kPlainFilter, pace.perSecond);
      if (s < 0 || p < 0) {
        fprintf(stderr, "bench_api_stream: a paced Link did not connect, register or take its samples\n");
        return 1;
      }
      pace.streams.push_back(s);
      pace.plain.push_back(p);
    }
  }
  for (const Pace& pace : paces)
    PrintIdleFigure(pace.name, Percentile(pace.streams, 0.5), "link_without_streams", Percentile(pace.plain, 0.5));
  return 0;
}

int StreamFigures() {
  Bench bench;
  if (!bench.Open()) {
    fprintf(stderr, "bench_api_stream: the Module did not connect or register\n");
    return 1;
  }
  double taken = 0, raw = 0, deliveredRate = 0;
  uint64_t delivered = 0, deliveredAll = 0;
  uint32_t first = 1;
  for (int round = 0; round < kRounds; ++round, first += kBurst) {
    double rate = 0;
    taken += bench.StreamBlock(first, &delivered, &rate);
    deliveredRate += rate;
    deliveredAll += delivered;
    raw += bench.RawBlock(first);
  }
  if (taken == 0 || raw == 0) {
    fprintf(stderr, "bench_api_stream: a burst did not come through\n");
    return 1;
  }
  PrintFigure("api_stream_taken", taken / kRounds, "samples/s", "raw_filter", raw / kRounds);
  PrintFigure("api_stream_delivered", deliveredRate / kRounds, "samples/s", "raw_filter", raw / kRounds);
  PrintFigure("api_stream_delivered_dropped", static_cast<double>(kBurst) * kRounds - deliveredAll, "samples", "sent",
              static_cast<double>(kBurst) * kRounds);

  // 100 unrelated registrations in the table.
  for (uint8_t option = 0; option < 100; ++option) {
    if (bench.rig.link().enableStream(kModule, 7, option, 0, true) != aErrNone) {
      fprintf(stderr, "bench_api_stream: an unrelated registration failed\n");
      return 1;
    }
  }
  taken = raw = 0;
  for (int round = 0; round < kRounds; ++round, first += kBurst) {
    double rate = 0;
    taken += bench.StreamBlock(first, &delivered, &rate);
    raw += bench.RawBlock(first);
  }
  PrintFigure("api_stream_taken_100", taken / kRounds, "samples/s", "raw_filter", raw / kRounds);

  struct Pace {
    const char* name;
    uint32_t perSecond;
  };
  for (const Pace& pace : {Pace{"api_stream_paced_drops", 100000}, Pace{"api_stream_paced_drops_200k", 200000},
                           Pace{"api_stream_paced_drops_300k", 300000}}) {
    uint64_t sent = 0;
    uint64_t dropped = bench.Paced(pace.perSecond, &sent);
    PrintFigure(pace.name, static_cast<double>(dropped), "samples", "sent", static_cast<double>(sent));
  }
  return 0;
}

}  // namespace

// With an argument, only the stream figures ("stream"), the paced CPU figures ("paced") or the
// idle figures ("idle").
int main(int argc, char** argv) {
  std::string only = argc > 1 ? argv[1] : "";
  if ((only.empty() || only == "stream") && StreamFigures() != 0) return 1;
  if ((only.empty() || only == "paced") && PacedFigures() != 0) return 1;
  if ((only.empty() || only == "idle") && IdleFigures() != 0) return 1;
  return 0;
}
