#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "MemoryPipe.h"
#include "PacketHelpers.h"
#include "ScriptedStreamKind.h"
#include "unix_time.h"

namespace {

using End = MemoryPipe::End;
constexpr End kA = MemoryPipe::kA;
constexpr End kB = MemoryPipe::kB;

aErr Send(aStream* stream, const std::vector<uint8_t>& bytes) {
  return aStream_Write(stream, bytes.data(), bytes.size());
}

// Everything readable at once, and the code that ended it.
std::vector<uint8_t> Drain(aStream* stream, aErr* end = nullptr) {
  std::vector<uint8_t> bytes;
  uint8_t byte;
  aErr err;
  while ((err = aStream_Read(stream, &byte, 1)) == aErrNone) bytes.push_back(byte);
  if (end != nullptr) *end = err;
  return bytes;
}

}  // namespace

TEST(MemoryPipe, CarriesBytesBothWays) {
  MemoryPipe pipe;
  aStream* a = pipe.stream(kA);
  aStream* b = pipe.stream(kB);
  aErr end;
  EXPECT_EQ(Drain(b, &end), std::vector<uint8_t>{});
  EXPECT_EQ(end, aErrNotReady);
  ASSERT_EQ(Send(a, HexBytes("01 02 03")), aErrNone);
  ASSERT_EQ(Send(a, HexBytes("04")), aErrNone);
  ASSERT_EQ(Send(b, HexBytes("AA BB")), aErrNone);
  EXPECT_EQ(pipe.Pending(kB), 4u);
  EXPECT_EQ(Drain(b), HexBytes("01 02 03 04"));
  EXPECT_EQ(Drain(a), HexBytes("AA BB"));

  std::vector<MemoryPipe::TapCall> tap = pipe.Tap(kA);
  ASSERT_EQ(tap.size(), 2u);
  EXPECT_EQ(tap[0].op, MemoryPipe::kWrite);
  EXPECT_EQ(tap[0].bytes, HexBytes("01 02 03"));
  EXPECT_EQ(tap[1].op, MemoryPipe::kPut);
  EXPECT_EQ(pipe.Tap(kB).size(), 1u);
}

TEST(MemoryPipe, ClosingAnEnd) {
  MemoryPipe pipe;
  aStream* a = pipe.Release(kA);
  aStream* b = pipe.stream(kB);
  EXPECT_EQ(pipe.stream(kA), nullptr);
  ASSERT_EQ(Send(a, HexBytes("01 02")), aErrNone);
  ASSERT_EQ(aStream_Destroy(&a), aErrNone);  // closes end A
  aErr end;
  EXPECT_EQ(Drain(b, &end), HexBytes("01 02"));
  EXPECT_EQ(end, aErrEOF);
  EXPECT_EQ(Send(b, HexBytes("03")), aErrIO);
  EXPECT_EQ(Send(b, HexBytes("03 04")), aErrIO);
  EXPECT_TRUE(pipe.WaitReadable(kB, 5000));

  MemoryPipe closed;
  closed.Close(kB);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(closed.stream(kB), &byte, 1), aErrIO);
  EXPECT_EQ(Send(closed.stream(kB), HexBytes("01")), aErrIO);
  EXPECT_EQ(aStream_Read(closed.stream(kA), &byte, 1), aErrEOF);
  EXPECT_EQ(closed.Tap(kA).size(), 0u);
  EXPECT_EQ(Send(closed.stream(kA), HexBytes("01")), aErrIO);
  ASSERT_EQ(closed.Tap(kA).size(), 1u);
  EXPECT_EQ(closed.Tap(kA)[0].result, aErrIO);
}

TEST(MemoryPipe, StreamsOutliveThePipeObject) {
  aStream* a;
  aStream* b;
  {
    MemoryPipe pipe;
    a = pipe.Release(kA);
    b = pipe.Release(kB);
  }
  ASSERT_EQ(Send(a, HexBytes("05 06")), aErrNone);
  EXPECT_TRUE(MemoryPipe::WaitReadable(b, 0));
  EXPECT_EQ(Drain(b), HexBytes("05 06"));
  EXPECT_EQ(aStream_Destroy(&b), aErrNone);
  EXPECT_EQ(Send(a, HexBytes("07")), aErrIO);
  EXPECT_EQ(aStream_Destroy(&a), aErrNone);
}

TEST(MemoryPipe, WaitReadableIsBounded) {
  MemoryPipe pipe;
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_FALSE(pipe.WaitReadable(kB, 100));
  EXPECT_GE(aTime_GetMonotonicMS() - start, 100u);

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send(pipe.stream(kA), HexBytes("01"));
  });
  start = aTime_GetMonotonicMS();
  EXPECT_TRUE(MemoryPipe::WaitReadable(pipe.stream(kB), 5000));
  EXPECT_LT(aTime_GetMonotonicMS() - start, 2500u);  // woken, well before the 5 s
  writer.join();
  EXPECT_TRUE(pipe.WaitReadable(kB, 0));

  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pipe.Close(kB);
  });
  start = aTime_GetMonotonicMS();
  EXPECT_TRUE(pipe.WaitReadable(kA, 5000));  // EOF is readable
  EXPECT_LT(aTime_GetMonotonicMS() - start, 2500u);
  closer.join();

  ScriptedStreamKind other;
  StreamPtr foreign(other.CreateStream());
  EXPECT_FALSE(MemoryPipe::WaitReadable(foreign.get(), 10));
}

TEST(MemoryPipe, FaultInjection) {
  MemoryPipe pipe;
  aStream* a = pipe.stream(kA);
  aStream* b = pipe.stream(kB);

  pipe.Inject(kB, HexBytes("EE EE"));
  pipe.DropTowards(kB, 3);
  ASSERT_EQ(Send(a, HexBytes("01 02")), aErrNone);     // dropped whole
  ASSERT_EQ(Send(a, HexBytes("03 04 05")), aErrNone);  // first byte dropped
  EXPECT_EQ(Drain(b), HexBytes("EE EE 04 05"));

  pipe.FailNext(kA, MemoryPipe::kWrite, 2, aErrConnection);
  EXPECT_EQ(Send(a, HexBytes("06 07")), aErrConnection);
  EXPECT_EQ(Send(a, HexBytes("08")), aErrNone);  // puts are not writes
  EXPECT_EQ(Send(a, HexBytes("09 0A")), aErrConnection);
  EXPECT_EQ(Send(a, HexBytes("0B 0C")), aErrNone);
  pipe.FailNext(kA, MemoryPipe::kPut, 1, aErrTimeout);
  EXPECT_EQ(Send(a, HexBytes("0D")), aErrTimeout);
  EXPECT_EQ(Drain(b), HexBytes("08 0B 0C"));

  pipe.FailNext(kB, MemoryPipe::kGet, 2, aErrIO);
  EXPECT_TRUE(pipe.WaitReadable(kB, 0));
  ASSERT_EQ(Send(a, HexBytes("0E")), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrIO);
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrIO);
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x0E);

  std::vector<MemoryPipe::TapCall> tap = pipe.Tap(kA);
  ASSERT_EQ(tap.size(), 8u);
  EXPECT_EQ(tap[0].bytes, HexBytes("01 02"));  // the tap sees what was handed in
  EXPECT_EQ(tap[2].result, aErrConnection);
  EXPECT_EQ(tap[6].op, MemoryPipe::kPut);
  EXPECT_EQ(tap[6].result, aErrTimeout);
}

TEST(MemoryPipe, DuplexTrafficWithAReaderAndAWriterPerEnd) {
  MemoryPipe pipe;
  constexpr size_t kBytes = 20000;
  auto pattern = [](End from, size_t i) {
    return static_cast<uint8_t>(i * (from == kA ? 3 : 5) + 1);
  };
  auto writer = [&](End from) {
    size_t sent = 0;
    for (size_t chunk = 1; sent < kBytes; chunk = chunk % 29 + 1) {
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i < chunk && sent + i < kBytes; ++i)
        bytes.push_back(pattern(from, sent + i));
      ASSERT_EQ(Send(pipe.stream(from), bytes), aErrNone);
      sent += bytes.size();
    }
  };
  std::vector<uint8_t> got[2];
  auto reader = [&](End at) {
    uint64_t deadline = aTime_GetMonotonicMS() + 20000;
    while (got[at].size() < kBytes && aTime_GetMonotonicMS() < deadline) {
      uint8_t byte;
      aErr err = aStream_Read(pipe.stream(at), &byte, 1);
      if (err == aErrNone) {
        got[at].push_back(byte);
      } else if (err == aErrNotReady) {
        pipe.WaitReadable(at, 100);
      } else {
        return;
      }
    }
  };
  std::thread threads[] = {std::thread(writer, kA), std::thread(writer, kB),
                           std::thread(reader, kA), std::thread(reader, kB)};
  for (std::thread& thread : threads) thread.join();
  for (End at : {kA, kB}) {
    ASSERT_EQ(got[at].size(), kBytes);
    for (size_t i = 0; i < kBytes; ++i)
      ASSERT_EQ(got[at][i], pattern(MemoryPipe::Other(at), i)) << i;
  }
}

TEST(MemoryPipe, GetModes) {
  MemoryPipe pipe;
  aStream* b = pipe.stream(kB);
  uint8_t byte = 0;

  // Waiting get, as on USB: a byte that comes within the wait is delivered; the stream's
  // wait procedure then returns at once.
  pipe.SetGetWait(kB, 10000);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send(pipe.stream(kA), HexBytes("01"));
  });
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x01);
  late.join();
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aStream_WaitReadable(b, 5000), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 2500u);
  pipe.SetGetWait(kB, 30);
  start = aTime_GetMonotonicMS();
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNotReady);
  EXPECT_GE(aTime_GetMonotonicMS() - start, 30u);
  pipe.SetGetWait(kB, 0);
  EXPECT_EQ(aStream_WaitReadable(b, 20), aErrTimeout);

  // Fragmenting: not-ready between any two bytes, though both wait.
  pipe.SetFragmenting(kB, true);
  ASSERT_EQ(Send(pipe.stream(kA), HexBytes("02 03")), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(b, 0), aErrNone);
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNone);
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x03);
  pipe.SetFragmenting(kB, false);

  // A result after n more bytes.
  ASSERT_EQ(Send(pipe.stream(kA), HexBytes("04 05 06")), aErrNone);
  pipe.FailGetAfter(kB, 2, aErrEOF);
  size_t calls = pipe.GetCalls(kB);
  EXPECT_EQ(Drain(b), HexBytes("04 05"));
  EXPECT_EQ(aStream_Read(b, &byte, 1), aErrNone);
  EXPECT_EQ(pipe.GetCalls(kB) - calls, 4u);
}

TEST(MemoryPipe, LatchHoldsTheWriterInsideItsWrite) {
  MemoryPipe pipe;
  pipe.HoldWrites(kA);
  EXPECT_FALSE(pipe.WaitWriteHeld(kA, 10));
  std::thread writer([&] { Send(pipe.stream(kA), HexBytes("01 02")); });
  EXPECT_TRUE(pipe.WaitWriteHeld(kA, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(pipe.Pending(kB), 0u);
  // The other direction is not held.
  EXPECT_EQ(Send(pipe.stream(kB), HexBytes("09")), aErrNone);
  pipe.ReleaseWrites(kA);
  writer.join();
  EXPECT_EQ(Drain(pipe.stream(kB)), HexBytes("01 02"));
  EXPECT_EQ(Send(pipe.stream(kA), HexBytes("03")), aErrNone);  // disarmed
}
