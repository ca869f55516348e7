#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <semaphore>
#include <thread>
#include <vector>

#include "PacketHelpers.h"
#include "packetfifo.h"
#include "unix_time.h"

namespace {

// A packet whose payload is a 32-bit tag.
PacketPtr Tagged(uint32_t tag, uint8_t address = 2) {
  uint8_t payload[4] = {static_cast<uint8_t>(tag >> 24), static_cast<uint8_t>(tag >> 16),
                        static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
  return PacketPtr(aPacket_CreateWithData(address, 4, payload));
}

uint32_t TagOf(const aPacket* packet) {
  return static_cast<uint32_t>(packet->payload[0]) << 24 | packet->payload[1] << 16 |
         packet->payload[2] << 8 | packet->payload[3];
}

void PutTagged(aPacketFifoId id, uint32_t tag) {
  ASSERT_EQ(aPacketFifo_Put(id, Tagged(tag).get()), aErrNone);
}

// Takes every queued packet without waiting; their tags in order.
std::vector<uint32_t> TakeAll(aPacketFifoId id) {
  std::vector<uint32_t> tags;
  while (PacketPtr packet{aPacketFifo_Get(id)}) tags.push_back(TagOf(packet.get()));
  return tags;
}

// An id destroyed at the end of the scope (if still there).
struct Fifo {
  aPacketFifoId id = aPacketFifo_Create();
  ~Fifo() {
    if (id != 0) aPacketFifo_Destroy(&id);
  }
};

uint8_t sRejectAll(const aPacket* packet, const void* ref) {
  auto* offered = static_cast<std::map<uint32_t, int>*>(const_cast<void*>(ref));
  (*offered)[TagOf(packet)]++;
  return 0;
}

uint8_t sOddTag(const aPacket* packet, const void*) { return TagOf(packet) % 2; }

uint8_t sTagAtLeast(const aPacket* packet, const void* ref) {
  return TagOf(packet) >= *static_cast<const uint32_t*>(ref);
}

}  // namespace

TEST(aPacketFifo, FirstIdOfAProcessIsOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The statement runs in a fresh process, before any other id was issued there.
  EXPECT_EXIT(exit(aPacketFifo_Create() == 1 && aPacketFifo_Create() == 2 ? 0 : 1),
              testing::ExitedWithCode(0), "");
}

TEST(aPacketFifo, OverflowEmptiesTheFifo) {
  Fifo fifo;
  ASSERT_NE(fifo.id, 0u);
  for (uint32_t i = 0; i < 1000; ++i) PutTagged(fifo.id, i);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1000u);
  PutTagged(fifo.id, 1000);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
  EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);
  // It goes on working afterwards.
  PutTagged(fifo.id, 7);
  EXPECT_EQ(TakeAll(fifo.id), std::vector<uint32_t>{7});
}

TEST(aPacketFifo, AwaitWithoutTimeOut) {
  Fifo fifo;
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aPacketFifo_Await(fifo.id, 0), nullptr);
  PutTagged(fifo.id, 5);
  PacketPtr packet(aPacketFifo_Await(fifo.id, 0));
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(TagOf(packet.get()), 5u);
  uint32_t none = 99;
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, sTagAtLeast, &none, 0), nullptr);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 1000u);
}

TEST(aPacketFifo, TimeOutsWithoutDeadline) {
  // Time-outs of 2^40 ms and more wait until a packet comes; the one below is a plain deadline.
  for (uint64_t ms :
       {UINT64_MAX, uint64_t{1} << 40, (uint64_t{1} << 40) - 1, uint64_t{INT64_MAX}}) {
    SCOPED_TRACE(ms);
    Fifo fifo;
    // The clock starts before the putter, so that a late start of the wait cannot shorten it.
    uint64_t start = aTime_GetMonotonicMS();
    std::thread later([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      PutTagged(fifo.id, 1);
    });
    PacketPtr packet(aPacketFifo_Await(fifo.id, ms));
    uint64_t waited = aTime_GetMonotonicMS() - start;
    later.join();
    ASSERT_NE(packet, nullptr);
    EXPECT_GE(waited, 40u);
    uint32_t from = 2;
    std::thread again([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      PutTagged(fifo.id, 1);
      PutTagged(fifo.id, 2);
    });
    PacketPtr match(aPacketFifo_AwaitFirst(fifo.id, sTagAtLeast, &from, ms));
    again.join();
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(TagOf(match.get()), 2u);
  }
}

TEST(aPacketFifo, DestroyWakesWaiters) {
  Fifo fifo;
  std::atomic<uint64_t> awaitDone{0}, firstDone{0};
  std::atomic<bool> awaitNull{false}, firstNull{false};
  uint32_t never = UINT32_MAX;
  aPacketFifoId id = fifo.id;
  std::thread waiter([&] {
    PacketPtr packet(aPacketFifo_Await(id, 5000));
    awaitNull = packet == nullptr;
    awaitDone = aTime_GetMonotonicMS();
  });
  std::thread matcher([&] {
    PacketPtr packet(aPacketFifo_AwaitFirst(id, sTagAtLeast, &never, 5000));
    firstNull = packet == nullptr;
    firstDone = aTime_GetMonotonicMS();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  uint64_t destroyed = aTime_GetMonotonicMS();
  ASSERT_EQ(aPacketFifo_Destroy(&fifo.id), aErrNone);
  EXPECT_EQ(fifo.id, 0u);
  waiter.join();
  matcher.join();
  EXPECT_TRUE(awaitNull);
  EXPECT_TRUE(firstNull);
  // Well before their 5 s time-outs.
  EXPECT_LT(awaitDone - destroyed, 2500u);
  EXPECT_LT(firstDone - destroyed, 2500u);
}

TEST(aPacketFifo, AwaitFirstOffersEachPacketOnce) {
  Fifo fifo;
  for (uint32_t i = 0; i < 10; ++i) PutTagged(fifo.id, i);
  // The wait ends on the producer's last packet, however slowly the producer runs.
  constexpr uint32_t kLast = 1000;
  auto takeOnlyTheLast = [](const aPacket* packet, const void* ref) -> uint8_t {
    sRejectAll(packet, ref);
    return TagOf(packet) == kLast;
  };
  std::map<uint32_t, int> offered;
  std::thread producer([&] {
    for (uint32_t i = 10; i < 60; ++i) {
      PutTagged(fifo.id, i);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    PutTagged(fifo.id, kLast);
  });
  PacketPtr last(aPacketFifo_AwaitFirst(fifo.id, takeOnlyTheLast, &offered, 30000));
  producer.join();
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(TagOf(last.get()), kLast);
  offered.erase(kLast);
  ASSERT_EQ(offered.size(), 60u);
  for (auto [tag, times] : offered) EXPECT_EQ(times, 1) << tag;

  // Nothing accepted: the full time-out, each packet still offered once, and they all stay.
  offered.clear();
  uint64_t start = aTime_GetMonotonicMS();
  PacketPtr packet(aPacketFifo_AwaitFirst(fifo.id, sRejectAll, &offered, 300));
  uint64_t waited = aTime_GetMonotonicMS() - start;
  EXPECT_EQ(packet, nullptr);
  EXPECT_GE(waited, 300u);
  ASSERT_EQ(offered.size(), 60u);
  for (auto [tag, times] : offered) EXPECT_EQ(times, 1) << tag;
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 60u);  // rejected packets stay
}

TEST(aPacketFifo, SelectiveTakesAndDrains) {
  Fifo fifo;
  for (uint32_t tag : {2, 3, 4, 5}) PutTagged(fifo.id, tag);
  PacketPtr odd(aPacketFifo_GetFirst(fifo.id, sOddTag, nullptr));
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(TagOf(odd.get()), 3u);
  EXPECT_EQ(TakeAll(fifo.id), (std::vector<uint32_t>{2, 4, 5}));
  uint32_t big = 100;
  EXPECT_EQ(aPacketFifo_GetFirst(fifo.id, sTagAtLeast, &big), nullptr);

  for (uint32_t tag = 0; tag < 6; ++tag) PutTagged(fifo.id, tag);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, sOddTag, nullptr), 3u);
  EXPECT_EQ(TakeAll(fifo.id), (std::vector<uint32_t>{0, 2, 4}));

  // AwaitFirst after a drain still sees the packets queued then.
  for (uint32_t tag = 0; tag < 4; ++tag) PutTagged(fifo.id, tag);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, sOddTag, nullptr), 2u);
  uint32_t two = 2;
  PacketPtr match(aPacketFifo_AwaitFirst(fifo.id, sTagAtLeast, &two, 0));
  ASSERT_NE(match, nullptr);
  EXPECT_EQ(TagOf(match.get()), 2u);
}

TEST(aPacketFifo, PacketsCrossByCopy) {
  Fifo fifo;
  aPacket* original = Tagged(42).release();
  ASSERT_EQ(aPacketFifo_Put(fifo.id, original), aErrNone);
  std::vector<uint8_t> wire = WireBytes(original);
  aPacket_Destroy(&original);
  PacketPtr taken(aPacketFifo_Get(fifo.id));
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(WireBytes(taken.get()), wire);
  EXPECT_TRUE(aPacket_IsComplete(taken.get()));

  PacketPtr kept = Tagged(43);
  ASSERT_EQ(aPacketFifo_Put(fifo.id, kept.get()), aErrNone);
  PacketPtr other(aPacketFifo_Get(fifo.id));
  EXPECT_NE(other.get(), kept.get());
  EXPECT_EQ(WireBytes(kept.get()), WireBytes(other.get()));
}

TEST(aPacketFifo, UnknownIdsAndBadPackets) {
  aPacketFifoId id = aPacketFifo_Create();
  aPacketFifoId copy = id;
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
  EXPECT_NE(copy, 0u);  // left unchanged
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(copy, Tagged(1).get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(copy), nullptr);
  EXPECT_EQ(aPacketFifo_Await(copy, 10), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(copy, sOddTag, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(copy, sOddTag, nullptr, 10), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(copy, sOddTag, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);

  Fifo fifo;
  EXPECT_NE(fifo.id, copy);  // ids are not reused
  EXPECT_EQ(aPacketFifo_Put(fifo.id, nullptr), aErrParam);
  aPacket forged = {0x1234, 2, 2, 0, {}};
  EXPECT_EQ(aPacketFifo_Put(fifo.id, &forged), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(aPacketFifo, PingPong) {
  Fifo requests, replies;
  constexpr uint32_t kRounds = 10000;
  std::atomic<uint32_t> answered{0};
  std::thread server([&] {
    for (uint32_t i = 0; i < kRounds; ++i) {
      PacketPtr request(aPacketFifo_Await(requests.id, 5000));
      if (!request) return;
      PacketPtr reply = Tagged(TagOf(request.get()), 4);
      if (aPacketFifo_Put(replies.id, reply.get()) != aErrNone) return;
      answered++;
    }
  });
  uint32_t matched = 0;
  for (uint32_t i = 0; i < kRounds; ++i) {
    ASSERT_EQ(aPacketFifo_Put(requests.id, Tagged(i).get()), aErrNone);
    PacketPtr reply(aPacketFifo_Await(replies.id, 5000));
    ASSERT_NE(reply, nullptr) << i;
    ASSERT_EQ(TagOf(reply.get()), i);
    ASSERT_EQ(reply->address, 4);
    matched++;
  }
  server.join();
  EXPECT_EQ(matched, kRounds);
  EXPECT_EQ(answered.load(), kRounds);
  EXPECT_EQ(aPacketFifo_Get(replies.id), nullptr);
  EXPECT_EQ(aPacketFifo_Get(requests.id), nullptr);
}

TEST(aPacketFifo, ProducersAndConsumersConserveEveryPacket) {
  Fifo fifo;
  constexpr uint32_t kProducers = 4, kConsumers = 4, kEach = 5000;
  std::counting_semaphore<900> credit(900);  // fewer than 1000 in flight
  std::atomic<uint32_t> taken{0};
  std::vector<std::vector<uint32_t>> seen(kConsumers);
  std::vector<std::thread> threads;
  for (uint32_t p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (uint32_t i = 0; i < kEach; ++i) {
        credit.acquire();
        PacketPtr packet = Tagged(p << 24 | i);
        if (aPacketFifo_Put(fifo.id, packet.get()) != aErrNone) return;
      }
    });
  }
  for (uint32_t c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      uint64_t deadline = aTime_GetMonotonicMS() + 30000;
      while (taken.load() < kProducers * kEach && aTime_GetMonotonicMS() < deadline) {
        PacketPtr packet(aPacketFifo_Await(fifo.id, 20));
        if (!packet) continue;
        taken++;
        seen[c].push_back(TagOf(packet.get()));
        credit.release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<uint32_t> all;
  for (auto& tags : seen) {
    // Each consumer sees any one producer's packets in the order they were put.
    std::map<uint32_t, uint32_t> next;
    for (uint32_t tag : tags) {
      auto [it, fresh] = next.emplace(tag >> 24, tag & 0xFFFFFF);
      EXPECT_GE(tag & 0xFFFFFF, it->second);
      it->second = (tag & 0xFFFFFF) + 1;
    }
    all.insert(all.end(), tags.begin(), tags.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), kProducers * kEach);
  for (uint32_t p = 0; p < kProducers; ++p) {
    for (uint32_t i = 0; i < kEach; ++i) ASSERT_EQ(all[p * kEach + i], p << 24 | i);
  }
}

TEST(aPacketFifo, StormOfCreatesPutsDestroysAndWaits) {
  constexpr int kSlots = 8;
  std::atomic<aPacketFifoId> slots[kSlots];
  for (auto& slot : slots) slot = aPacketFifo_Create();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto worker = [&](uint32_t seed, int role) {
    std::mt19937 random(seed);
    uint32_t tag = 0;
    while (!stop) {
      std::atomic<aPacketFifoId>& slot = slots[random() % kSlots];
      aPacketFifoId id = slot.load();
      switch (role) {
        case 0: {  // destroy and replace
          aPacketFifoId doomed = id;
          if (slot.compare_exchange_strong(id, aPacketFifo_Create())) aPacketFifo_Destroy(&doomed);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          break;
        }
        case 1:
          aPacketFifo_Put(id, Tagged(tag++).get());
          break;
        case 2:
          PacketPtr(aPacketFifo_Await(id, random() % 3));
          break;
        default: {
          uint32_t from = random();
          PacketPtr(aPacketFifo_AwaitFirst(id, sTagAtLeast, &from, random() % 3));
          aPacketFifo_DrainPackets(id, sOddTag, nullptr);
          break;
        }
      }
    }
  };
  for (int i = 0; i < 8; ++i) threads.emplace_back(worker, 100 + i, i % 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  for (auto& slot : slots) {
    aPacketFifoId id = slot.load();
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  }
}
