#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>

#include "TcpDeviceListener.h"
#include "aStreamsocket.h"

namespace {

size_t CountDescriptors() {
  size_t n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

// A listener whose backlog is full never completes the handshake: the connect gives up
// after its bound.
TEST(aStreamsocketSlow, ConnectThatNeverCompletesGivesUpAfterFiveSeconds) {
  TcpDeviceListener::Options options;
  options.fullBacklog = true;
  TcpDeviceListener listener(nullptr, options);
  size_t before = CountDescriptors();

  aStream* stream = reinterpret_cast<aStream*>(1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), listener.port(), &stream), aErrResource);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(stream, nullptr);
  EXPECT_GE(ms, CONNECT_TIMEOUT_SEC * 1000 - 100);
  EXPECT_LT(ms, CONNECT_TIMEOUT_SEC * 1000 + 2000);
  EXPECT_EQ(CountDescriptors(), before);
}

}  // namespace
