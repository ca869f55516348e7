// The single-producer single-consumer ring between the stream filter and the callback worker.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "LocklessQueue_SPSC.h"

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
