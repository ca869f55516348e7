// Streams when memory runs out. This program replaces the nothrow array allocation, which the
// stream's ring and its larger work buffers use, so that a chosen call fails.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <vector>

#include "PacketHelpers.h"
#include "ScriptedStreamKind.h"
#include "aStream.h"

namespace {
// 0: off; k: the k-th nothrow array allocation from now on fails.
std::atomic<int> gFailIn{0};

void FailNthAllocation(int k) { gFailIn = k; }
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (gFailIn > 0 && --gFailIn == 0) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

TEST(aStreamMemory, GivingBackWithoutMemoryIsNotMereNotReady) {
  ScriptedStreamKind kind;
  kind.Bytes({1, 2, 3});
  StreamPtr stream(kind.CreateStream());
  uint8_t out[4];
  FailNthAllocation(1);  // the ring's first block
  EXPECT_EQ(aStream_Read(stream.get(), out, 4), aErrMemory);
  FailNthAllocation(0);

  // The ring exists and is full: growing it fails.
  kind.Bytes(std::vector<uint8_t>(511, 7));
  ASSERT_EQ(aStream_Read(stream.get(), out, 4), aErrNone);  // 7 7 7 7 from the kind
  std::vector<uint8_t> big(600);
  ASSERT_EQ(aStream_Read(stream.get(), big.data(), 600), aErrNotReady);  // 507 back
  kind.Bytes(std::vector<uint8_t>(10, 8));
  FailNthAllocation(2);  // the first is the read's work buffer, the second the growth
  EXPECT_EQ(aStream_Read(stream.get(), big.data(), 600), aErrMemory);
  FailNthAllocation(0);
}

TEST(aStreamMemory, RecordsWithoutMemory) {
  const uint8_t crlf[2] = {'\r', '\n'};
  uint8_t out[8];
  size_t length = 0;

  ScriptedStreamKind waiting;
  waiting.Bytes({'a', 'b', '\r'});
  StreamPtr notReady(waiting.CreateStream());
  FailNthAllocation(1);
  EXPECT_EQ(aStream_ReadRecord(notReady.get(), out, &length, 8, crlf, 2), aErrMemory);
  FailNthAllocation(0);

  // The byte taken beyond a full record needs the ring, which cannot be had.
  ScriptedStreamKind full;
  full.Bytes({'a', 'b', 'X', 'c'});
  StreamPtr beyond(full.CreateStream());
  const uint8_t xy[2] = {'X', 'Y'};
  FailNthAllocation(1);
  EXPECT_EQ(aStream_ReadRecord(beyond.get(), out, &length, 3, xy, 2), aErrMemory);
  FailNthAllocation(0);
}

TEST(aStreamMemory, WorkBuffersWithoutMemory) {
  ScriptedStreamKind kind;
  kind.Bytes(std::vector<uint8_t>(100, 1));
  StreamPtr stream(kind.CreateStream());
  std::vector<uint8_t> out(100);
  FailNthAllocation(1);
  EXPECT_EQ(aStream_Read(stream.get(), out.data(), 100), aErrResource);
  FailNthAllocation(0);
  EXPECT_EQ(kind.getCalls(), 0u);

  const uint8_t comma = ',';
  size_t length = 0;
  FailNthAllocation(1);
  EXPECT_EQ(aStream_ReadRecord(stream.get(), out.data(), &length, 100, &comma, 1), aErrResource);
  FailNthAllocation(0);
  // Small reads need no allocation at all.
  FailNthAllocation(1);
  EXPECT_EQ(aStream_Read(stream.get(), out.data(), 64), aErrNone);
  EXPECT_EQ(gFailIn.load(), 1);
  FailNthAllocation(0);
}
