// The single-producer single-consumer ring between the stream filter and the callback worker,
// and the wake-up of its sleeping consumer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>

#include "Eventually.h"
#include "LocklessQueue_SPSC.h"
#include "ProcessCounts.h"

TEST(LocklessQueue, HoldsOneElementFewerThanItsSlots) {
  Tavrin::LocklessQueue_SPSC<int> ring(500);
  for (int i = 0; i < 499; ++i) ASSERT_TRUE(ring.push(i)) << i;
  EXPECT_FALSE(ring.push(499));
  int out = -1;
  ASSERT_TRUE(ring.pop(out));
  EXPECT_EQ(out, 0);
  EXPECT_TRUE(ring.push(499));
  for (int i = 1; i < 500; ++i) {
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(out, i);
  }
  EXPECT_FALSE(ring.pop(out));
  EXPECT_TRUE(ring.empty());
}

TEST(LocklessQueue, TwoThreadsPassAMillionElementsInOrder) {
  constexpr uint32_t kElements = 1000000;
  Tavrin::LocklessQueue_SPSC<uint32_t> ring(500);
  std::thread producer([&] {
    for (uint32_t i = 0; i < kElements; ++i)
      while (!ring.push(i)) std::this_thread::yield();
  });
  uint32_t expected = 0;
  bool inOrder = true;
  while (expected < kElements) {
    uint32_t out = 0;
    if (!ring.pop(out)) {
      std::this_thread::yield();
      continue;
    }
    inOrder = inOrder && out == expected;
    ++expected;
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_TRUE(ring.empty());
}

// The consumer sleeps on every empty ring with a long bound; the producer hands over one element
// at a time after a pause of 0 to 6.4 us (and now and then 40 us), so that its push lands
// before, while and after the consumer goes to sleep. A lost wake-up leaves a sleep to its bound.
TEST(ConsumerWake, NoPushIsLostOnASleepingConsumer) {
  constexpr uint32_t kElements = 50000;
  Tavrin::LocklessQueue_SPSC<uint32_t> ring(500);
  Tavrin::ConsumerWake wake;
  std::atomic<uint32_t> taken{0};
  std::atomic<bool> lost{false};  // a sleep ran to its bound: both sides give up
  std::thread producer([&] {
    for (uint32_t i = 0; i < kElements && !lost; ++i) {
      auto pause = std::chrono::steady_clock::now() + std::chrono::nanoseconds(i % 7 == 0 ? 40000 : i % 128 * 50);
      while (std::chrono::steady_clock::now() < pause) {
      }
      ring.push(i);
      wake.wakeIfSleeping();
      while (taken.load() <= i && !lost) std::this_thread::yield();
    }
  });
  uint32_t expected = 0;
  bool inOrder = true;
  while (expected < kElements) {
    uint32_t out = 0;
    if (ring.pop(out)) {
      inOrder = inOrder && out == expected;
      taken = ++expected;
    } else if (!wake.sleep(std::chrono::seconds(3), [&] { return !ring.empty(); })) {
      lost = true;
      break;
    }
  }
  producer.join();
  EXPECT_FALSE(lost.load()) << "a wake-up was lost after " << expected << " elements";
  EXPECT_EQ(expected, kElements);
  EXPECT_TRUE(inOrder);
}

// A stop told through a promise, which is no sequentially consistent store: wake() still
// reaches a consumer that is asleep (even rounds: its thread waits in the kernel) or about to be
// (odd rounds: its one look found no stop, and it holds the lock on its way to the wait until
// the stop is set and wake() called).
TEST(ConsumerWake, AStopByPromiseWakesTheConsumer) {
  using Clock = std::chrono::steady_clock;
  for (int round = 0; round < 200; ++round) {
    bool late = round % 2 != 0;
    Tavrin::ConsumerWake wake;
    std::promise<void> stop;
    std::future<void> stopped = stop.get_future();
    std::atomic<bool> woken{false};
    std::atomic<bool> stopping{false};  // the stop is set and wake() comes next
    std::atomic<int> looks{0};
    std::atomic<long> consumerId{0};
    std::thread consumer([&] {
      consumerId = CurrentThreadId();
      woken = wake.sleep(std::chrono::seconds(3), [&] {
        bool ready = stopped.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        if (++looks == 1 && late) {
          auto bound = Clock::now() + std::chrono::seconds(3);
          while (!stopping.load() && Clock::now() < bound) std::this_thread::yield();
        }
        return ready;
      });
    });
    auto bound = Clock::now() + std::chrono::seconds(3);
    while (looks.load() == 0 && Clock::now() < bound) std::this_thread::yield();
    bool looked = looks.load() > 0;
    // After its first look nothing but the wait puts the consumer to sleep.
    bool asleep = late || Eventually([&] { return ThreadState(consumerId.load()) == 'S'; }, 3000, 1);
    stop.set_value();
    stopping = true;
    wake.wake();
    consumer.join();
    ASSERT_TRUE(looked && asleep) << round;
    ASSERT_TRUE(woken.load()) << round;
  }
}
