// The multicast endpoint on the loopback interface, in a namespace of its own with only lo.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "aMulticast.h"

namespace {

const uint32_t kLoopback = IPv4("127.0.0.1");
const uint32_t kGroup = IPv4("224.0.0.7");
constexpr uint16_t kPort = 9870;

struct MulticastDestroyer {
  void operator()(aMulticast* endpoint) const { aMulticast_Destroy(&endpoint); }
};
using MulticastPtr = std::unique_ptr<aMulticast, MulticastDestroyer>;

MulticastPtr Open(uint16_t port, uint8_t mode, uint32_t interfaceAddress = kLoopback) {
  return MulticastPtr(aMulticast_Create(interfaceAddress, kGroup, port, mode));
}

}  // namespace

TEST(aMulticast, ASenderReachesTheReceiverOfItsGroupAndPort) {
  RequirePrivateNetns();
  // Interface 0 stands for the loopback interface.
  MulticastPtr receiver = Open(kPort, aMULTICAST_RECEIVER, 0);
  MulticastPtr sender = Open(kPort, aMULTICAST_SENDER);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(aMulticast_Send(sender.get(), data, sizeof data), 5);
  uint8_t got[16] = {};
  ASSERT_EQ(aMulticast_Receive(receiver.get(), got, sizeof got), 5);
  EXPECT_EQ(memcmp(got, data, sizeof data), 0);
  // A longer datagram is cut to the buffer.
  EXPECT_EQ(aMulticast_Send(sender.get(), data, sizeof data), 5);
  EXPECT_EQ(aMulticast_Receive(receiver.get(), got, 3), 3);
}

TEST(aMulticast, RefusedUses) {
  RequirePrivateNetns();
  MulticastPtr receiver = Open(kPort, aMULTICAST_RECEIVER);
  MulticastPtr sender = Open(kPort, aMULTICAST_SENDER);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);
  uint8_t buffer[4] = {};
  struct Row {
    const char* what;
    int result;
    int want;
  };
  aMulticast* none = nullptr;
  const Row rows[] = {
      {"send on NULL", aMulticast_Send(nullptr, buffer, 4), -2},
      {"receive on NULL", aMulticast_Receive(nullptr, buffer, 4), -2},
      {"destroy of NULL", aMulticast_Destroy(&none), -2},
      {"destroy of a NULL address", aMulticast_Destroy(nullptr), -2},
      {"send on a receiver", aMulticast_Send(receiver.get(), buffer, 4), -3},
      {"receive on a sender", aMulticast_Receive(sender.get(), buffer, 4), -3},
  };
  for (const Row& row : rows) EXPECT_EQ(row.result, row.want) << row.what;
  // The port is held: no address reuse.
  EXPECT_EQ(Open(kPort, aMULTICAST_RECEIVER), nullptr);
  EXPECT_EQ(Open(kPort + 1, 2), nullptr);
}

TEST(aMulticast, AReceiveWithNothingThereEndsAfterAboutASecond) {
  RequirePrivateNetns();
  MulticastPtr receiver = Open(kPort, aMULTICAST_RECEIVER);
  ASSERT_NE(receiver, nullptr);
  uint8_t buffer[4];
  Stopwatch watch;
  EXPECT_EQ(aMulticast_Receive(receiver.get(), buffer, sizeof buffer), -1);
  EXPECT_GE(watch.ElapsedMs(), 900);
  EXPECT_LT(watch.ElapsedMs(), 3000);  // about a second, with room for a loaded machine
}

TEST(aMulticast, DestroyClearsThePointerAndFreesThePort) {
  RequirePrivateNetns();
  aMulticast* receiver = aMulticast_Create(kLoopback, kGroup, kPort, aMULTICAST_RECEIVER);
  ASSERT_NE(receiver, nullptr);
  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
  EXPECT_EQ(receiver, nullptr);
  EXPECT_NE(Open(kPort, aMULTICAST_RECEIVER), nullptr);
}
