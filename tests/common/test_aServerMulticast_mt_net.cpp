// A link server's loopback multicast announcement, in a namespace of its own with only lo:
// every server there answers by multicast, local-only or not.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "MulticastPeer.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "unix_time.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kRequestPort = 9850;

// True while no socket holds the UDP port (binding it without address reuse works).
bool PortFree(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  bool free = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return free;
}

// Waits until a server's responder holds request port 9850 + k.
bool Responding(int k) { return Eventually([k] { return !PortFree(static_cast<uint16_t>(kRequestPort + k)); }, 3000); }

constexpr uint32_t kSerial = 0x5E12AB01;

Bytes Announcement(const ServedDevice& served, uint8_t model, uint32_t serial = kSerial) {
  RecordBuilder record;
  record.U32(0, 6).U32(4, serial).U32(8, 8).U32(20, model).Bytes(24, {0x7F, 0x00, 0x00, 0x01}).U32(28, served.port());
  return Bytes(record.bytes().begin(), record.bytes().end());
}

class ServerMulticast : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
  }
};

}  // namespace

TEST_F(ServerMulticast, AnswersTheMagicOnlyOnceItKnowsTheModel) {
  ServedDevice::Options options;
  options.model = 0;
  ServedDevice served(options);
  ASSERT_EQ(served.startResult, aErrNone);
  ASSERT_TRUE(Responding(0));
  MulticastPeer peer(0);
  ASSERT_TRUE(peer.ok());
  ASSERT_TRUE(peer.SendMagic());
  EXPECT_EQ(peer.Receive(1200), std::nullopt);

  ASSERT_EQ(aServer_SetModel(served.server, 17), aErrNone);
  ASSERT_TRUE(peer.SendMagic());
  EXPECT_EQ(peer.Receive(1000), Announcement(served, 17));
}

TEST_F(ServerMulticast, OnlyTheMagicIsAnswered) {
  ServedDevice served;
  ASSERT_EQ(served.startResult, aErrNone);
  ASSERT_TRUE(Responding(0));
  MulticastPeer peer(0);
  struct Row {
    Bytes request;
    bool answered;
  };
  const Row rows[] = {
      {{0xBA, 0xDC, 0xCD, 0xAA}, false},
      {{0xBA, 0xDC, 0xCD}, false},
      {{}, false},
      {{0xAB, 0xCD, 0xDC, 0xBA}, false},
      // Read as its first 4 bytes.
      {{0xBA, 0xDC, 0xCD, 0xAB, 0x00}, true},
      {{0xBA, 0xDC, 0xCD, 0xAB}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(HexText(row.request));
    ASSERT_TRUE(peer.Send(row.request));
    std::optional<Bytes> reply = peer.Receive(500);
    EXPECT_EQ(reply.has_value(), row.answered);
    if (reply) {
      EXPECT_EQ(*reply, Announcement(served, 0x17));
    }
  }
}

TEST_F(ServerMulticast, RequestsAtAnyMomentAreAnsweredAtOnce) {
  ServedDevice served;
  ASSERT_EQ(served.startResult, aErrNone);
  ASSERT_TRUE(Responding(0));
  MulticastPeer peer(0);
  std::mt19937 random(19);
  std::uniform_int_distribution<int> pause(0, 300);
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    aTime_MSSleep(static_cast<uint64_t>(pause(random)));
    uint64_t sent = aTime_GetMonotonicMS();
    ASSERT_TRUE(peer.SendMagic());
    std::optional<Bytes> reply = peer.Receive(1500);
    ASSERT_TRUE(reply.has_value());
    // At once, not at the responder's next 1 s poll: over 20 requests at random moments one
    // of those would come late by more than this.
    EXPECT_LT(aTime_GetMonotonicMS() - sent, 500u);
  }
}

TEST_F(ServerMulticast, EachServerHoldsItsOwnPorts) {
  ServedDevice first;
  ASSERT_EQ(first.startResult, aErrNone);
  ASSERT_TRUE(Responding(0));
  ServedDevice::Options options;
  options.serialNumber = 0x5E12AB02;
  ServedDevice second(options);
  ASSERT_EQ(second.startResult, aErrNone);
  ASSERT_TRUE(Responding(1));
  const ServedDevice* servers[] = {&first, &second};
  const uint32_t serials[] = {kSerial, 0x5E12AB02};
  for (int k = 0; k < 2; ++k) {
    MulticastPeer peer(k);
    ASSERT_TRUE(peer.SendMagic());
    EXPECT_EQ(peer.Receive(1000), Announcement(*servers[k], 0x17, serials[k])) << "k " << k;
  }
}

TEST_F(ServerMulticast, AServerNotLocalOnlyOnAHostWithoutInterfacesAnswersTheSame) {
  ServedDevice::Options options;
  options.localOnly = false;
  ServedDevice served(options);
  ASSERT_EQ(served.startResult, aErrNone);
  uint32_t bound = 0;
  ASSERT_EQ(aServer_GetInterface(served.server, &bound), aErrNone);
  EXPECT_EQ(bound, IPv4("127.0.0.1"));
  RawDealer client(served.port());
  Bytes echo{0x08, 0x03, 0x17, 0x01, 0x02};
  ASSERT_TRUE(client.Send(echo));
  EXPECT_EQ(client.Receive(3000), echo);
  ASSERT_TRUE(Responding(0));
  MulticastPeer peer(0);
  ASSERT_TRUE(peer.SendMagic());
  EXPECT_EQ(peer.Receive(1000), Announcement(served, 0x17));
}
