#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "RecordingByteDevice.h"
#include "TcpDeviceListener.h"
#include "aStreamsocket.h"
#include "unix_time.h"

namespace {

// The reader and the writer both meet each reset and may both make the connection again at
// once; neither may close or use a descriptor the other has replaced.
TEST(aStreamsocketThreads, ResetStormWhileReadingAndWriting) {
  RecordingByteDevice device;
  device.SetEcho(true);
  TcpDeviceListener listener(&device);
  int descriptors = CountOpenDescriptors();
  int threads = CountThreads();

  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), listener.port(), &stream), aErrNone);
  std::atomic<bool> stop{false};
  std::atomic<size_t> bytesRead{0};
  std::atomic<size_t> writesDone{0};
  std::atomic<bool> invalid{false};

  std::thread reader([&] {
    while (!stop) {
      uint8_t byte;
      aErr err = aStream_Read(stream, &byte, 1);
      if (err == aErrNone) {
        ++bytesRead;
      } else {
        if (err == aErrParam) invalid = true;
        aTime_MSSleep(1);
      }
    }
  });
  std::thread writer([&] {
    std::vector<uint8_t> packet = HexBytes("08 1C");
    packet.resize(30, 0x5A);
    while (!stop) {
      aErr err = aStream_Write(stream, packet.data(), packet.size());
      if (err == aErrNone) ++writesDone;
      if (err == aErrParam) invalid = true;
      aTime_MSSleep(3);
    }
  });

  for (int i = 0; i < 40; ++i) {
    aTime_MSSleep(50);
    listener.ResetConnection();
  }
  stop = true;
  reader.join();
  writer.join();

  EXPECT_FALSE(invalid);
  EXPECT_GT(listener.accepts(), 10u);
  EXPECT_GT(writesDone.load(), 100u);
  EXPECT_GT(bytesRead.load(), 0u);

  // Still a working stream: one more echo comes back.
  std::vector<uint8_t> last = HexBytes("0A 02 AB CD");
  ASSERT_EQ(aStream_Write(stream, last.data(), last.size()), aErrNone);
  std::vector<uint8_t> tail;
  auto echoed = [&] { return tail.size() >= 4 && std::equal(last.begin(), last.end(), tail.end() - 4); };
  EXPECT_TRUE(Eventually(
      [&] {
        uint8_t byte;
        while (!echoed() && aStream_Read(stream, &byte, 1) == aErrNone) tail.push_back(byte);
        return echoed();
      },
      2000, 1))
      << "the last block came back";

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  ASSERT_TRUE(listener.WaitUntilIdle(2000));
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
  EXPECT_EQ(CountThreads(), threads);
}

}  // namespace
