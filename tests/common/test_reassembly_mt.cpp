// The model of a link's reader: packets written whole to one end of a pipe, read back one byte
// at a time on another thread, reassembled and handed over through a FIFO.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "MemoryPipe.h"
#include "PacketHelpers.h"
#include "packetfifo.h"
#include "unix_time.h"

namespace {
constexpr uint32_t kSeed = 20240605;
constexpr size_t kPackets = 2000;
}  // namespace

TEST(Reassembly, PacketsCrossThreadsWhole) {
  MemoryPipe pipe;
  aStream* writeEnd = pipe.Release(MemoryPipe::kA);
  aStream* readEnd = pipe.stream(MemoryPipe::kB);
  aPacketFifoId fifo = aPacketFifo_Create();
  ASSERT_NE(fifo, 0u);
  std::atomic<size_t> takenByMain{0};

  std::thread writer([&] {
    PacketGenerator packets(kSeed);
    std::mt19937 pauses(kSeed + 1);
    for (size_t i = 0; i < kPackets; ++i) {
      // Stay well inside the FIFO's limit, whatever the scheduling.
      while (i - takenByMain.load() > 500)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::vector<uint8_t> wire = packets.NextWire();
      if (aStream_Write(writeEnd, wire.data(), wire.size()) != aErrNone) break;
      if (pauses() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(pauses() % 300));
    }
    aStream_Destroy(&writeEnd);  // EOF for the reader
  });

  struct ReaderResult {
    size_t notReady = 0;
    size_t waitsWithoutByte = 0;  // a wait said readable, yet the read found nothing
    aErr end = aErrNone;
    aErr feedError = aErrNone;
  } result;
  std::thread reader([&] {
    PacketPtr packet(aPacket_Create());
    bool afterReadableWait = false;
    for (;;) {
      uint8_t byte;
      aErr err = aStream_Read(readEnd, &byte, 1);
      if (err == aErrNotReady) {
        result.notReady++;
        if (afterReadableWait) result.waitsWithoutByte++;
        afterReadableWait = MemoryPipe::WaitReadable(readEnd, 1000);
        continue;
      }
      afterReadableWait = false;
      if (err != aErrNone) {
        result.end = err;
        return;
      }
      aErr fed = aPacket_AddByte(packet.get(), byte);
      if (fed != aErrNone) {
        result.feedError = fed;
        return;
      }
      if (aPacket_IsComplete(packet.get())) {
        if (aPacketFifo_Put(fifo, packet.get()) != aErrNone) return;
        aPacket_Reset(packet.get());
      }
    }
  });

  PacketGenerator expected(kSeed);
  for (size_t i = 0; i < kPackets; ++i) {
    PacketPtr packet(aPacketFifo_Await(fifo, 1000));
    ASSERT_NE(packet, nullptr) << "packet " << i;
    ASSERT_EQ(HexText(WireBytes(packet.get())), HexText(expected.NextWire())) << "packet " << i;
    takenByMain++;
  }
  writer.join();
  reader.join();
  EXPECT_EQ(result.end, aErrEOF);
  EXPECT_EQ(result.feedError, aErrNone);
  EXPECT_EQ(result.waitsWithoutByte, 0u);
  EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);  // none extra
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
}
