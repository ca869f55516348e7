// Packet FIFO latency and throughput, each beside the same code over a plain locked queue.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 100000;
constexpr int kPackets = 1000000;
constexpr int kCredit = 256;

// The baseline: a mutex, a condition variable and a deque of 32-byte packet values.
struct PlainPacket {
  uint8_t bytes[32];
};

class PlainQueue {
 public:
  void Put(const PlainPacket& packet) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      queue_.push_back(packet);
    }
    ready_.notify_one();
  }
  bool Await(PlainPacket* packet, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !queue_.empty(); }))
      return false;
    *packet = queue_.front();
    queue_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<PlainPacket> queue_;
};

struct FifoPair {
  aPacketFifoId there = aPacketFifo_Create();
  aPacketFifoId back = aPacketFifo_Create();
  aPacket* packet;
  FifoPair() {
    uint8_t payload[28];
    for (int i = 0; i < 28; ++i) payload[i] = static_cast<uint8_t>(i);
    packet = aPacket_CreateWithData(2, 28, payload);  // 30 bytes on the wire
  }
  ~FifoPair() {
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&there);
    aPacketFifo_Destroy(&back);
  }
  void Put(bool toThere) { aPacketFifo_Put(toThere ? there : back, packet); }
  bool Await(bool fromThere) {
    aPacket* taken = aPacketFifo_Await(fromThere ? there : back, 1000);
    if (taken == nullptr) return false;
    aPacket_Destroy(&taken);
    return true;
  }
};

struct QueuePair {
  PlainQueue there, back;
  PlainPacket packet{};
  void Put(bool toThere) { (toThere ? there : back).Put(packet); }
  bool Await(bool fromThere) {
    PlainPacket taken;
    return (fromThere ? there : back).Await(&taken, 1000);
  }
};

// Microseconds per round trip, sorted.
template <typename Pair>
std::vector<double> PingPong() {
  Pair pair;
  std::thread echo([&] {
    for (int i = 0; i < kRoundTrips; ++i) {
      if (!pair.Await(true)) return;
      pair.Put(false);
    }
  });
  std::vector<double> trips;
  trips.reserve(kRoundTrips);
  for (int i = 0; i < kRoundTrips; ++i) {
    auto start = Clock::now();
    pair.Put(true);
    if (!pair.Await(false)) break;
    trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  echo.join();
  std::sort(trips.begin(), trips.end());
  return trips;
}

// Packets per second, one producer and one consumer, at most kCredit in flight.
template <typename Pair>
double Throughput() {
  Pair pair;
  std::counting_semaphore<kCredit> credit(kCredit);
  auto start = Clock::now();
  std::thread consumer([&] {
    for (int i = 0; i < kPackets; ++i) {
      if (!pair.Await(true)) return;
      credit.release();
    }
  });
  for (int i = 0; i < kPackets; ++i) {
    credit.acquire();
    pair.Put(true);
  }
  consumer.join();
  return kPackets / std::chrono::duration<double>(Clock::now() - start).count();
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1,
                         static_cast<size_t>(p * static_cast<double>(sorted.size())))];
}


}  // namespace

int main() {
  std::vector<double> fifo = PingPong<FifoPair>();
  std::vector<double> plain = PingPong<QueuePair>();
  PrintFigure("fifo_pingpong_median", Percentile(fifo, 0.5), "us", "queue_pingpong_median",
              Percentile(plain, 0.5));
  PrintFigure("fifo_pingpong_p99", Percentile(fifo, 0.99), "us", "queue_pingpong_p99",
              Percentile(plain, 0.99));
  // Best of three, alternating, so that a busy machine disturbs the ratio less.
  double fifoRate = 0, plainRate = 0;
  for (int run = 0; run < 3; ++run) {
    fifoRate = std::max(fifoRate, Throughput<FifoPair>());
    plainRate = std::max(plainRate, Throughput<QueuePair>());
  }
  PrintFigure("fifo_throughput", fifoRate, "packets/s", "queue_throughput", plainRate);
  return 0;
}
