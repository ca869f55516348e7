#pragma once
// Request/reply round trips: the raw echo baselines every round-trip figure is measured
// beside, and the measurement that alternates blocks of a figure and its baseline in one run,
// so that a change of load on the machine meets both alike.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "MemoryPipe.h"
#include "PacketHelpers.h"
#include "TcpLoopbackPair.h"
#include "aLink.h"

// The size of one message: a packet with a full payload on the wire.
constexpr size_t kRoundTripWire = 30;

// Microseconds from putting one packet (`address`, `payload`) on the link to the first packet
// that `match` takes with `want`; -1 when the put failed or no such packet came in time.
inline double LinkRoundTrip(aLinkRef ref, uint8_t address, const std::vector<uint8_t>& payload,
                            aPacketMatchProc match, const void* want, uint64_t timeoutMs = 5000) {
  PacketPtr request(aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()), payload.data()));
  auto start = std::chrono::steady_clock::now();
  if (aLink_PutPacket(ref, request.get()) != aErrNone) return -1;
  PacketPtr reply(aLink_AwaitFirst(ref, match, want, timeoutMs));
  double us = MicrosSince(start);
  return reply != nullptr ? us : -1;
}

// The same for a device that echoes the payload.
inline double LinkEchoRoundTrip(aLinkRef ref, uint8_t address, const std::vector<uint8_t>& payload,
                                uint64_t timeoutMs = 5000) {
  return LinkRoundTrip(ref, address, payload, SamePayload, &payload, timeoutMs);
}

// Context switches of the whole process so far, voluntary and not.
inline long ProcessContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// 30-byte messages bounced off an echo thread over an in-memory pipe: two thread hand-offs a
// round trip.
class RawPipeEcho {
 public:
  RawPipeEcho() {
    echo_ = std::thread([this] {
      uint8_t message[kRoundTripWire];
      while (Read(MemoryPipe::kB, message)) aStream_Write(pipe_.stream(MemoryPipe::kB), message, kRoundTripWire);
    });
  }
  ~RawPipeEcho() {
    pipe_.Close(MemoryPipe::kB);
    echo_.join();
  }
  RawPipeEcho(const RawPipeEcho&) = delete;
  RawPipeEcho& operator=(const RawPipeEcho&) = delete;

  // Microseconds.
  double RoundTrip() {
    uint8_t message[kRoundTripWire] = {0x08, 28};
    auto start = std::chrono::steady_clock::now();
    aStream_Write(pipe_.stream(MemoryPipe::kA), message, kRoundTripWire);
    Read(MemoryPipe::kA, message);
    return MicrosSince(start);
  }

 private:
  // Exactly one message, sleeping on the end's readability.
  bool Read(MemoryPipe::End end, uint8_t* out) {
    size_t got = 0;
    while (got < kRoundTripWire) {
      aErr err = aStream_Read(pipe_.stream(end), &out[got], 1);
      if (err == aErrNone) {
        ++got;
      } else if (err == aErrNotReady) {
        pipe_.WaitReadable(end, 1000);
      } else {
        return false;
      }
    }
    return true;
  }

  MemoryPipe pipe_;
  std::thread echo_;
};

// The same over a loopback TCP pair with TCP_NODELAY and blocking calls, a thread per side. By
// default 30-byte messages are echoed; with other sizes each request of `request` bytes is
// answered with `reply` bytes (a byte sequence of packets and its acknowledgement).
class RawTcpEcho {
 public:
  explicit RawTcpEcho(size_t request = kRoundTripWire, size_t reply = kRoundTripWire)
      : request_(request), reply_(reply) {
    if (!MakeTcpLoopbackPair(&client_, &server_, true)) return;
    echo_ = std::thread([this] {
      std::vector<uint8_t> in(request_), out(reply_, 0x08);
      while (ReadAll(server_, in.data(), request_) &&
             write(server_, out.data(), reply_) == static_cast<ssize_t>(reply_)) {
      }
    });
  }
  ~RawTcpEcho() {
    if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    if (echo_.joinable()) echo_.join();
    if (client_ >= 0) close(client_);
    if (server_ >= 0) close(server_);
  }
  RawTcpEcho(const RawTcpEcho&) = delete;
  RawTcpEcho& operator=(const RawTcpEcho&) = delete;

  bool ok() const { return client_ >= 0; }

  // Microseconds.
  double RoundTrip() {
    std::vector<uint8_t> message(std::max(request_, reply_), 0x1C);
    message[0] = 0x08;
    auto start = std::chrono::steady_clock::now();
    if (write(client_, message.data(), request_) == static_cast<ssize_t>(request_))
      ReadAll(client_, message.data(), reply_);
    return MicrosSince(start);
  }

 private:
  static bool ReadAll(int fd, uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
      ssize_t r = read(fd, out + got, size - got);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  size_t request_;
  size_t reply_;
  int client_ = -1;
  int server_ = -1;
  std::thread echo_;
};

// The samples of one side of an alternating measurement.
struct RoundTrips {
  std::vector<double> us;
  long switches = 0;

  double p50() const { return Percentile(us, 0.5); }
  double p99() const { return Percentile(us, 0.99); }
  double SwitchesPerRoundTrip() const { return us.empty() ? 0.0 : static_cast<double>(switches) / us.size(); }
};

// `total` round trips of each side, in blocks of `block` taken in turns; each call gets its
// running index. The first block of each side warms up and is not kept.
inline void AlternateAll(int total, int block, const std::vector<std::function<double(int)>>& sides,
                         const std::vector<RoundTrips*>& outs) {
  for (int done = -block; done < total; done += block) {
    for (size_t side = 0; side < sides.size(); ++side) {
      long before = ProcessContextSwitches();
      std::vector<double> us;
      us.reserve(static_cast<size_t>(block));
      for (int i = 0; i < block; ++i) us.push_back(sides[side](done + i));
      if (done < 0) continue;
      outs[side]->switches += ProcessContextSwitches() - before;
      outs[side]->us.insert(outs[side]->us.end(), us.begin(), us.end());
    }
  }
}

// The same for a figure and its baseline.
inline void Alternate(int total, int block, const std::function<double(int)>& figure,
                      const std::function<double(int)>& baseline, RoundTrips* figureOut, RoundTrips* baselineOut) {
  AlternateAll(total, block, {figure, baseline}, {figureOut, baselineOut});
}

// Three lines: p50, p99 (names with _p99) and context switches per round trip (_csw).
inline void PrintRoundTrips(const char* name, const RoundTrips& figure, const char* baseName,
                            const RoundTrips& baseline) {
  std::string n(name), b(baseName);
  PrintFigure(name, figure.p50(), "us", baseName, baseline.p50());
  PrintFigure((n + "_p99").c_str(), figure.p99(), "us", (b + "_p99").c_str(), baseline.p99());
  PrintFigure((n + "_csw").c_str(), figure.SwitchesPerRoundTrip(), "switches", (b + "_csw").c_str(),
              baseline.SwitchesPerRoundTrip());
}
