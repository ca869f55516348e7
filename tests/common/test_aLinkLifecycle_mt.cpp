// One link, many holders: resets, starts, stops and the last release racing each other and
// the holders' own calls. Run under ASan and ThreadSanitizer; each case ends with the link
// running or released and the thread count back where it started.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "LinkEcho.h"
#include "PacketHelpers.h"
#include "DeviceRigs.h"
#include "ProcessCounts.h"
#include "SimLinkTcpSide.h"
#include "TcpDeviceListener.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

namespace {

constexpr uint32_t kSerial = 0x0000C0DE;
constexpr uint64_t kBound = 5000;  // ms

// The echoing simulated device behind a loopback listener; it outlives every connection.
struct TcpDevice {
  TcpDevice() { device.SetEcho(true); }
  SimLinkDevice device;
  SimLinkTcpSide side{device};
  TcpDeviceListener listener{&side};

  aLinkRef Create() { return aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), listener.port()); }
};

uint8_t sPassAll(const aPacket*, void*) { return 0; }
uint8_t sTakeNothing(const aPacket*, const void*) { return 0; }

// Holder B works the link in every way a holder can while holder A resets it.
TEST(LinkLifecycle, HolderCallsDuringResets) {
  TcpDevice d;
  int threads = SteadyThreadCount();
  aLinkRef a = d.Create();
  ASSERT_NE(a, 0u);
  aLinkRef b = d.Create();
  ASSERT_EQ(b, a);

  std::atomic<bool> done{false};
  std::atomic<int> echoes{0};
  std::thread holder([&] {
    int tag = 0;
    const uint8_t marker[] = {'m', 'a', 'r', 'k'};
    while (!done.load()) {
      aLink_InstallUserPacketFilter(b, sPassAll, nullptr);
      aLink_PacketDebug_Enable(b);
      aLink_PacketDebug_Write(b, 3, sizeof marker, marker);
      int kind = 0;
      uint8_t data[aPACKETLOG_MAX_RECORD];
      uint32_t length = sizeof data;
      aLink_PacketDebug_Read(b, &kind, &length, data);
      aLink_PacketDebug_Disable(b);
      aLink_EnablePooledPackets(b, (tag & 1) != 0);
      if (LinkEcho(b, tag++, 50)) ++echoes;
      aLink_DrainPackets(b, sTakeNothing, nullptr);
      aPacket* stray = aLink_GetPacket(b);
      aPacket_Destroy(&stray);
      int status = aLink_GetStatus(b);
      EXPECT_TRUE(status >= kLinkStatusStopped && status <= kLinkStatusPacketError) << status;
      aLink_InstallUserPacketFilter(b, nullptr, nullptr);
    }
  });
  for (int i = 0; i < 20; ++i) EXPECT_EQ(aLink_Reset(a), aErrNone) << "reset " << i;
  done = true;
  holder.join();

  EXPECT_EQ(aLink_GetStatus(a), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(a, 1000));
  EXPECT_GT(echoes.load(), 0);
  EXPECT_EQ(aLink_Destroy(&b), aErrNone);
  EXPECT_EQ(aLink_Destroy(&a), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }));
}

// A second reset waits for the first, then runs; both report their own result.
TEST(LinkLifecycle, ConcurrentResetsRunOneAfterTheOther) {
  TcpDevice d;
  int threads = SteadyThreadCount();
  aLinkRef ref = d.Create();
  ASSERT_NE(ref, 0u);
  // The create returns once its connect is made; the listener may take that connection later.
  ASSERT_TRUE(d.listener.WaitForAccepts(1, kBound));
  size_t accepts = d.listener.accepts();

  std::barrier start(2);
  auto resetter = [&] {
    start.arrive_and_wait();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(aLink_Reset(ref), aErrNone);
  };
  std::thread one(resetter);
  std::thread two(resetter);
  one.join();
  two.join();

  EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  EXPECT_TRUE(LinkEcho(ref, 1));
  EXPECT_EQ(d.listener.accepts(), accepts + 20) << "every reset connected once";
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads + 2; })) << "one reader and one writer";
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }));
}

// Two starts of a stopped link: one starts it, the other finds it running.
TEST(LinkLifecycle, ConcurrentStartsStartOnce) {
  TcpDevice d;
  int threads = SteadyThreadCount();
  aLinkRef ref = d.Create();
  ASSERT_NE(ref, 0u);
  aLink* link = sGetLink(ref);
  ASSERT_NE(link, nullptr);

  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(aLink_Stop(link), aErrNone);
    std::barrier start(2);
    aErr other = aErrUnknown;
    std::thread second([&] {
      start.arrive_and_wait();
      other = aLink_Start(ref);
    });
    start.arrive_and_wait();
    EXPECT_EQ(aLink_Start(ref), aErrNone);
    second.join();
    EXPECT_EQ(other, aErrNone);
    // A joined thread may still be listed for a moment.
    ASSERT_TRUE(Eventually([&] { return CountThreads() == threads + 2; })) << "round " << i;
    ASSERT_EQ(aLink_GetStatus(ref), kLinkStatusRunning);
  }

  // The create's start and one start a round: each queued AF 01 01 once.
  EXPECT_TRUE(Eventually([&] { return RouteSwitches(d.device, true) == 201; }, kBound)) << RouteSwitches(d.device, true);
  EXPECT_TRUE(LinkEcho(ref, 1));
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }));
}

// The last release and a reset at the same moment: whichever comes second sees the outcome
// of the first; nothing is left running.
TEST(LinkLifecycle, LastDestroyRacesReset) {
  TcpDevice d;
  int threads = SteadyThreadCount();
  size_t registered = sRegistryCount();
  for (int i = 0; i < 10; ++i) {
    aLinkRef ref = d.Create();
    ASSERT_NE(ref, 0u);
    aLinkRef holder = ref;
    std::barrier start(2);
    aErr reset = aErrUnknown;
    std::thread resetter([&] {
      start.arrive_and_wait();
      reset = aLink_Reset(ref);
    });
    start.arrive_and_wait();
    EXPECT_EQ(aLink_Destroy(&holder), aErrNone);
    resetter.join();
    EXPECT_TRUE(reset == aErrNone || reset == aErrParam) << reset;
    EXPECT_EQ(aLink_GetStatus(ref), kLinkStatusInvalid);
    EXPECT_EQ(sRegistryCount(), registered);
    EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; })) << "round " << i;
  }
}

}  // namespace
