#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "MemoryPipe.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "RecordingByteDevice.h"
#include "SocketCallHook.h"
#include "TcpDeviceListener.h"
#include "aStreamsocket.h"
#include "unix_time.h"

namespace {

using Clock = std::chrono::steady_clock;

uint64_t MsSince(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  int own = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = atoi(entry->d_name);
    if (fd != own) fds.insert(fd);
  }
  closedir(dir);
  return fds;
}

StreamPtr Connect(const TcpDeviceListener& listener) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), listener.port(), &stream), aErrNone);
  return StreamPtr(stream);
}

// Bytes that differ from their neighbours over a long stretch, so a block that starts in the
// wrong place is seen.
std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8) ^ (i >> 16));
  return bytes;
}

// Reads until `n` bytes came or `ms` passed.
std::vector<uint8_t> ReadBytes(aStream* stream, size_t n, uint64_t ms) {
  std::vector<uint8_t> bytes;
  Eventually(
      [&] {
        uint8_t byte;
        aErr err = aErrNone;
        while (bytes.size() < n && (err = aStream_Read(stream, &byte, 1)) == aErrNone) bytes.push_back(byte);
        if (bytes.size() < n) {
          EXPECT_EQ(err, aErrNotReady);
        }
        return bytes.size() >= n;
      },
      ms, 1);
  return bytes;
}

// True once the peer's close or reset has reached the stream's socket, which then reads as
// readable; nothing is taken from it, so the next get is the first to meet the end.
bool PeerEndArrives(aStream* stream) {
  return Eventually([&] { return aStream_WaitReadable(stream, 0) == aErrNone; }, 2000, 1);
}

class SocketStream : public ::testing::Test {
 protected:
  // A stream whose connection the device side has ended (CloseConnection or ResetConnection),
  // after a get has met the end.
  StreamPtr ConnectThenEnd(void (TcpDeviceListener::*end)()) {
    StreamPtr stream = Connect(listener_);
    if (!stream || !listener_.WaitForAccepts(1, 2000)) return nullptr;
    (listener_.*end)();
    if (!PeerEndArrives(stream.get())) return nullptr;
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
    return stream;
  }

  RecordingByteDevice device_;
  TcpDeviceListener listener_{&device_};
};

TEST(aStreamsocketCreate, FailuresGiveResourceAndLeaveNothingOpen) {
  RecordingByteDevice device;
  TcpDeviceListener listener(&device);
  uint16_t closedPort = listener.port();
  listener.StopListening();
  std::set<int> before = OpenDescriptors();

  aStream* stream = reinterpret_cast<aStream*>(1);
  EXPECT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), closedPort, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), closedPort, nullptr), aErrResource);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(aStreamsocketCreate, UnreachableAddress) {
  RequirePrivateNetns();  // only lo is up: nothing can leave the machine
  aStream* stream = reinterpret_cast<aStream*>(1);
  std::set<int> before = OpenDescriptors();
  EXPECT_EQ(aStream_CreateSocket(inet_addr("192.0.2.1"), 9, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SocketStream, GetAnswersAtOnceAndDeliversInOrder) {
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener_.WaitForAccepts(1, 2000));

  uint8_t byte = 0xEE;
  auto start = Clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
  // A get that waited even 10 ms would take 1 s here.
  EXPECT_LT(MsSince(start), 500u) << "an empty get must not wait";
  EXPECT_EQ(byte, 0xEE);

  std::vector<uint8_t> sent = Pattern(3000);
  ASSERT_TRUE(device_.Send(sent));
  EXPECT_EQ(ReadBytes(stream.get(), sent.size(), 2000), sent);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
}

TEST_F(SocketStream, ThirtyByteWriteIsOneSendWithoutPause) {
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  std::vector<uint8_t> block = Pattern(30);
  SendHook hook;
  auto start = Clock::now();
  {
    ArmSendHook arm(&hook);
    ASSERT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrNone);
  }
  EXPECT_LT(MsSince(start), static_cast<uint64_t>(aSOCKET_RETRY_DELAY_MS));
  EXPECT_EQ(hook.calls, 1);
  ASSERT_TRUE(device_.WaitForBytes(1, 30, 2000));
  EXPECT_EQ(device_.Received(1), block);
}

TEST_F(SocketStream, PeerCloseLeavesGetNotReady) {
  StreamPtr stream = ConnectThenEnd(&TcpDeviceListener::CloseConnection);
  ASSERT_TRUE(stream);
  uint8_t byte;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
    aTime_MSSleep(5);
  }
  EXPECT_EQ(listener_.accepts(), 1u);
}

TEST_F(SocketStream, WaitReadableSleepsItsBoundOnceThePeerHasClosed) {
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener_.WaitForAccepts(1, 2000));
  auto start = Clock::now();
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 30), aErrTimeout);
  EXPECT_GE(MsSince(start), 25u);

  ASSERT_TRUE(device_.Send(HexBytes("42")));
  start = Clock::now();
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 10000), aErrNone);
  EXPECT_LT(MsSince(start), 5000u);
  EXPECT_EQ(ReadBytes(stream.get(), 1, 1000), HexBytes("42"));

  // A closed peer leaves the socket readable for ever; once a get has seen it, the wait
  // sleeps instead of answering at once.
  listener_.CloseConnection();
  ASSERT_TRUE(PeerEndArrives(stream.get()));
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
  for (int i = 0; i < 3; ++i) {
    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream.get(), 30), aErrTimeout);
    EXPECT_GE(MsSince(start), 25u);
  }
}

// Once the peer has closed, the reader's wait watches only for a wake; when the writer makes
// the connection anew, that wait ends and the reader looks at the new connection.
TEST_F(SocketStream, AConnectionMadeAnewEndsTheReadersWait) {
  StreamPtr stream = ConnectThenEnd(&TcpDeviceListener::CloseConnection);
  ASSERT_TRUE(stream);
  aErr waited = aErrUnknown;
  auto start = Clock::now();
  std::thread reader([&] { waited = aStream_WaitReadable(stream.get(), 10000); });
  // Writes over the closed connection fail after the first, and the writer connects again.
  const std::vector<uint8_t> packet = HexBytes("08 00");
  bool again = Eventually([&] {
    aStream_Write(stream.get(), packet.data(), packet.size());
    return listener_.accepts() >= 2;
  });
  reader.join();
  ASSERT_TRUE(again);
  EXPECT_EQ(waited, aErrNone);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(SocketStream, PeerResetIsMendedByTheNextGet) {
  StreamPtr stream = ConnectThenEnd(&TcpDeviceListener::ResetConnection);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener_.WaitForAccepts(2, 2000));
  EXPECT_EQ(listener_.accepts(), 2u);
  ASSERT_TRUE(device_.Send(HexBytes("08 02 00 00")));
  EXPECT_EQ(ReadBytes(stream.get(), 4, 2000), HexBytes("08 02 00 00"));
}

TEST(aStreamsocketWrite, BlockStartsAgainFromItsFirstByteOnANewConnection) {
  RecordingByteDevice device;
  TcpDeviceListener::Options options;
  options.receiveBuffer = 4096;
  TcpDeviceListener listener(&device, options);
  StreamPtr stream = Connect(listener);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener.WaitForAccepts(1, 2000));
  listener.StopReading();

  // Larger than what the two buffers of the first connection hold.
  std::vector<uint8_t> block = Pattern(4 << 20);
  aErr result = aErrUnknown;
  uint64_t blocked = BlockedSendCount();
  std::thread writer([&] { result = aStream_Write(stream.get(), block.data(), block.size()); });
  // The buffers are full once a send finds no room: the writer is then retrying.
  bool full = Eventually([&] { return BlockedSendCount() > blocked; });
  size_t firstPart = listener.Unread();
  listener.ResetConnection();
  listener.ResumeReading();
  writer.join();

  ASSERT_TRUE(full) << "the writer never met full buffers";
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(listener.accepts(), 2u);
  EXPECT_GT(firstPart, 0u) << "the block was under way on the first connection";
  ASSERT_TRUE(device.WaitForBytes(2, block.size(), 5000)) << device.Received(2).size();
  EXPECT_TRUE(device.Received(2) == block) << "the new connection must carry the whole block";
}

TEST(aStreamsocketWrite, PeerThatStopsReadingEndsTheWriteWithTimeout) {
  RecordingByteDevice device;
  TcpDeviceListener::Options options;
  options.receiveBuffer = 4096;
  TcpDeviceListener listener(&device, options);
  StreamPtr stream = Connect(listener);
  ASSERT_TRUE(stream);
  listener.StopReading();

  std::vector<uint8_t> block = Pattern(8 << 20);
  SendHook hook;
  auto start = Clock::now();
  aErr result;
  {
    ArmSendHook arm(&hook);
    result = aStream_Write(stream.get(), block.data(), block.size());
  }
  uint64_t ms = MsSince(start);
  EXPECT_EQ(result, aErrTimeout);
  EXPECT_GE(hook.calls, aSOCKET_MAX_SEND_RETRY);
  EXPECT_GE(ms, 9u * aSOCKET_RETRY_DELAY_MS);
  EXPECT_LT(ms, 3000u);
}

TEST_F(SocketStream, FailingSendsAreCountedAndEndWithIO) {
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  std::vector<uint8_t> block = Pattern(30);
  SendHook hook;
  hook.failLeft = 1000;
  hook.failErrno = EIO;
  aErr result;
  {
    ArmSendHook arm(&hook);
    result = aStream_Write(stream.get(), block.data(), block.size());
  }
  EXPECT_EQ(result, aErrIO);
  EXPECT_EQ(hook.calls, aSOCKET_MAX_SEND_RETRY);

  // Sends that fail with a lost connection make it anew each time, counted the same way.
  hook = SendHook{};
  hook.failLeft = 1000;
  hook.failErrno = ECONNRESET;
  {
    ArmSendHook arm(&hook);
    result = aStream_Write(stream.get(), block.data(), block.size());
  }
  EXPECT_EQ(result, aErrIO);
  EXPECT_EQ(hook.calls, aSOCKET_MAX_SEND_RETRY);
  EXPECT_TRUE(listener_.WaitForAccepts(1 + aSOCKET_MAX_SEND_RETRY, 2000));
  EXPECT_FALSE(listener_.WaitForAccepts(2 + aSOCKET_MAX_SEND_RETRY, 50)) << "no connection beyond the count";
}

TEST_F(SocketStream, FailedReconnectEndsTheWriteAndLeavesTheStreamUnconnected) {
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener_.WaitForAccepts(1, 2000));
  listener_.StopListening();
  listener_.ResetConnection();
  ASSERT_TRUE(PeerEndArrives(stream.get()));

  std::vector<uint8_t> block = Pattern(30);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrConnection);
  ASSERT_TRUE(listener_.ListenAgain());
  // Once a reconnect has failed the stream stays unconnected until it is made anew.
  EXPECT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrConnection);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrConnection);
  EXPECT_EQ(listener_.accepts(), 1u);
}

TEST_F(SocketStream, DescriptorAboveSelectLimitWorks) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 1100) GTEST_SKIP() << "RLIMIT_NOFILE hard limit below 1100";
  struct rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  std::vector<int> fillers;
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  fillers.push_back(null);
  while (fillers.back() <= 1030) {
    int fd = dup(null);
    if (fd < 0) break;
    fillers.push_back(fd);
  }
  StreamPtr stream = Connect(listener_);
  for (int fd : fillers) close(fd);
  ASSERT_TRUE(stream);
  ASSERT_GT(fillers.back(), 1024);

  std::vector<uint8_t> block = Pattern(30);
  ASSERT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrNone);
  device_.SetEcho(true);
  ASSERT_TRUE(device_.WaitForBytes(1, 30, 2000));
  ASSERT_TRUE(device_.Send(block));
  EXPECT_EQ(ReadBytes(stream.get(), 30, 2000), block);
  stream.reset();
  setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(SocketStream, DestroyResetsTheConnection) {
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener_.WaitForAccepts(1, 2000));
  aStream* raw = stream.release();
  auto start = Clock::now();
  EXPECT_EQ(aStream_Destroy(&raw), aErrNone);
  EXPECT_GE(MsSince(start), 10u);
  EXPECT_EQ(raw, nullptr);
  ASSERT_TRUE(listener_.WaitForEnd(1, 2000));
  EXPECT_EQ(listener_.end(1), TcpDeviceListener::kPeerReset);
}

// A wake ends the wait under way, or the next one when none is, and is taken once; the two
// kinds a link's reader may sleep on for long: the socket kind and the kit's pipe.
TEST_F(SocketStream, AWakeEndsTheWaitUnderWayOrTheNext) {
  MemoryPipe pipe;
  StreamPtr socket = Connect(listener_);
  ASSERT_TRUE(socket);
  struct Row {
    const char* kind;
    aStream* stream;
  };
  for (const Row& row : {Row{"socket", socket.get()}, Row{"pipe", pipe.stream(MemoryPipe::kA)}}) {
    SCOPED_TRACE(row.kind);
    // Before the wait: the next one ends at once, the one after waits again.
    ASSERT_EQ(aStream_Wake(row.stream), aErrNone);
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(row.stream, 10000), aErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(aStream_WaitReadable(row.stream, 50), aErrTimeout);
    // During the wait, from another thread.
    aErr waited = aErrUnknown;
    start = Clock::now();
    std::thread reader([&] { waited = aStream_WaitReadable(row.stream, 10000); });
    aTime_MSSleep(50);
    EXPECT_EQ(aStream_Wake(row.stream), aErrNone);
    reader.join();
    EXPECT_EQ(waited, aErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
  aStream kindWithout{};
  kindWithout.check = aSTREAMCHECK;
  EXPECT_EQ(aStream_Wake(&kindWithout), aErrMode);
  EXPECT_EQ(aStream_Wake(nullptr), aErrParam);
}

TEST_F(SocketStream, InvalidStateAndAcceptDelete) {
  // Room for a whole state, all zero: no check word.
  alignas(16) unsigned char notAState[256] = {};
  EXPECT_EQ(sSocketStreamAcceptDelete(nullptr), aErrIO);
  EXPECT_EQ(sSocketStreamAcceptDelete(notAState), aErrIO);

  std::set<int> before = OpenDescriptors();
  StreamPtr stream = Connect(listener_);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(listener_.WaitForAccepts(1, 2000));
  std::set<int> after = OpenDescriptors();
  // The stream's own socket is the new descriptor whose peer is the listener.
  int socketFd = -1;
  for (int fd : after) {
    struct sockaddr_in peer = {};
    socklen_t length = sizeof(peer);
    if (before.count(fd) == 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        ntohs(peer.sin_port) == listener_.port()) {
      socketFd = fd;
    }
  }
  ASSERT_GE(socketFd, 0);

  uint8_t byte = 0;
  aStreamGetProc get = stream->get;
  aStreamWriteProc write = stream->write;
  aStreamDeleteProc deleteProc = stream->deleteProc;
  EXPECT_EQ(get(&byte, notAState), aErrParam);
  EXPECT_EQ(write(&byte, 1, notAState), aErrParam);
  EXPECT_EQ(deleteProc(notAState), aErrIO);

  // The state goes with its own wake descriptor; the socket stays with its owner.
  std::set<int> kept = after;
  for (int fd : after) {
    char target[64] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (before.count(fd) == 0 && readlink(link.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target) == "anon_inode:[eventfd]")
      kept.erase(fd);
  }
  EXPECT_EQ(kept.size(), after.size() - 1);
  EXPECT_EQ(sSocketStreamAcceptDelete(stream->ref), aErrNone);
  stream->deleteProc = nullptr;
  stream.reset();
  EXPECT_EQ(OpenDescriptors(), kept);
  EXPECT_FALSE(listener_.WaitForEnd(1, 50)) << "the connection must stay open";
  close(socketFd);
}

TEST(aStreamsocketCycles, CreateAndDestroyLeaveTheDescriptorsAsTheyWere) {
  RecordingByteDevice device;
  TcpDeviceListener listener(&device);
  RecordingByteDevice refusedDevice;
  TcpDeviceListener refused(&refusedDevice);
  refused.StopListening();
  std::set<int> before = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), listener.port(), &stream), aErrNone);
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    if (i % 10 == 0) {
      ASSERT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), refused.port(), &stream), aErrResource);
    }
  }
  ASSERT_TRUE(listener.WaitUntilIdle(2000));
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
