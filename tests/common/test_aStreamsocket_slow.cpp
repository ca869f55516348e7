#include <gtest/gtest.h>

#include <chrono>

#include "ProcessCounts.h"
#include "TcpDeviceListener.h"
#include "aStreamsocket.h"

namespace {

// A listener whose backlog is full never completes the handshake: the connect gives up
// after its bound.
TEST(aStreamsocketSlow, ConnectThatNeverCompletesGivesUpAfterFiveSeconds) {
  TcpDeviceListener::Options options;
  options.fullBacklog = true;
  TcpDeviceListener listener(nullptr, options);
  int before = CountOpenDescriptors();

  aStream* stream = reinterpret_cast<aStream*>(1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_CreateSocket(TcpDeviceListener::address(), listener.port(), &stream), aErrResource);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(stream, nullptr);
  EXPECT_GE(ms, CONNECT_TIMEOUT_SEC * 1000 - 100);
  EXPECT_LT(ms, CONNECT_TIMEOUT_SEC * 1000 + 2000);
  EXPECT_EQ(CountOpenDescriptors(), before);
}

}  // namespace
