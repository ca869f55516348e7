// The descriptor stream kind of the test kit over real sockets.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "DescriptorStream.h"
#include "PacketHelpers.h"
#include "TcpLoopbackPair.h"
#include "unix_time.h"

TEST(DescriptorStream, GetWriteAndWait) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  StreamPtr a(CreateDescriptorStream(fds[0]));
  StreamPtr b(CreateDescriptorStream(fds[1]));
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(b.get(), &byte, 1), aErrNotReady);
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aStream_WaitReadable(b.get(), 50), aErrTimeout);
  EXPECT_GE(aTime_GetMonotonicMS() - start, 45u);

  std::thread late([&] {
    aTime_MSSleep(50);
    aStream_Write(a.get(), HexBytes("01 02 03").data(), 3);
  });
  start = aTime_GetMonotonicMS();
  EXPECT_EQ(aStream_WaitReadable(b.get(), 5000), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 1000u);
  late.join();
  uint8_t bytes[3];
  EXPECT_EQ(aStream_Read(b.get(), bytes, 3), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), HexBytes("01 02 03"));

  // A large write goes out whole while the other end reads.
  std::vector<uint8_t> big(1 << 20, 0x5A);
  std::thread writer([&] { EXPECT_EQ(aStream_Write(a.get(), big.data(), big.size()), aErrNone); });
  size_t got = 0;
  uint64_t deadline = aTime_GetMonotonicMS() + 10000;
  while (got < big.size() && aTime_GetMonotonicMS() < deadline) {
    aErr err = aStream_Read(b.get(), &byte, 1);
    if (err == aErrNone) ++got;
    if (err == aErrNotReady) aStream_WaitReadable(b.get(), 10);
  }
  writer.join();
  EXPECT_EQ(got, big.size());

  a.reset();  // closes its descriptor
  EXPECT_EQ(aStream_WaitReadable(b.get(), 1000), aErrNone);
  EXPECT_EQ(aStream_Read(b.get(), &byte, 1), aErrEOF);
}

TEST(DescriptorStream, LoopbackTcpPair) {
  int client, server;
  ASSERT_TRUE(MakeTcpLoopbackPair(&client, &server));
  StreamPtr a(CreateDescriptorStream(client));
  StreamPtr b(CreateDescriptorStream(server));
  ASSERT_EQ(aStream_Write(a.get(), HexBytes("AA BB").data(), 2), aErrNone);
  ASSERT_EQ(aStream_WaitReadable(b.get(), 5000), aErrNone);
  uint8_t bytes[2];
  uint64_t deadline = aTime_GetMonotonicMS() + 5000;
  aErr err;
  while ((err = aStream_Read(b.get(), bytes, 2)) == aErrNotReady && aTime_GetMonotonicMS() < deadline)
    aStream_WaitReadable(b.get(), 10);
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 2), HexBytes("AA BB"));
}
