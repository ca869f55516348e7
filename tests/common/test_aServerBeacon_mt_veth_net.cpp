// A link server that is not local-only, on a host with network interfaces: it binds the first
// one and answers beacon queries there. In a namespace with a veth pair v0 192.0.2.1/24 and
// v1 192.0.2.2/24, where the beacons of one process hear each other.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "BeaconPeer.h"
#include "DiscoveryRecorder.h"
#include "Netns.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "aDiscovery.h"
#include "unix_time.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x5E12AB01;

std::string Dotted(uint32_t address) {
  char text[16];
  aDiscovery_ConvertIPv4Interface(address, text, sizeof text);
  return text;
}

ServedDevice::Options NotLocalOnly(uint8_t model = 0x17) {
  ServedDevice::Options options;
  options.localOnly = false;
  options.model = model;
  return options;
}

// The next announcement (a 128-byte beacon) heard within ms.
std::optional<BeaconPeer::Heard> NextAnnouncement(BeaconPeer& peer, int ms) {
  uint64_t deadline = aTime_GetMonotonicMS() + static_cast<uint64_t>(ms);
  for (uint64_t now = aTime_GetMonotonicMS(); now < deadline; now = aTime_GetMonotonicMS()) {
    std::optional<BeaconPeer::Heard> heard = peer.Receive(static_cast<int>(deadline - now));
    if (heard && heard->content.size() == 128) return heard;
  }
  return std::nullopt;
}

class ServerBeacon : public testing::Test {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
    uint32_t list[4] = {};
    ASSERT_EQ(aDiscovery_GetIPv4Interfaces(list, 4), 2u);
    first_ = list[0];
  }

  Bytes Announcement(const ServedDevice& served) const {
    RecordBuilder record;
    record.U32(0, 6).U32(4, kSerial).U32(8, 8).U32(20, 0x17).U32(28, served.port());
    uint32_t address = first_;
    record.Bytes(24, Bytes(reinterpret_cast<uint8_t*>(&address), reinterpret_cast<uint8_t*>(&address) + 4));
    return Bytes(record.bytes().begin(), record.bytes().end());
  }

  uint32_t first_ = 0;
};

}  // namespace

TEST_F(ServerBeacon, BindsTheFirstInterfaceOnly) {
  ServedDevice served(NotLocalOnly());
  ASSERT_EQ(served.startResult, aErrNone);
  uint32_t bound = 0;
  ASSERT_EQ(aServer_GetInterface(served.server, &bound), aErrNone);
  EXPECT_EQ(bound, first_);
  Bytes echo{0x08, 0x03, 0x17, 0x01, 0x02};
  RawDealer there("tcp://" + Dotted(first_) + ":" + std::to_string(served.port()));
  ASSERT_TRUE(there.Send(echo));
  EXPECT_EQ(there.Receive(3000), echo);
  RawDealer loopback(served.port());
  loopback.Send(echo);
  EXPECT_EQ(loopback.Receive(500), std::nullopt);
}

TEST_F(ServerBeacon, AnswersQueriesByTheirFirst20Bytes) {
  struct Row {
    const char* what;
    Bytes content;
    bool answered;
  };
  Bytes query = BeaconQuery();
  Bytes longer = query;
  longer.insert(longer.end(), {'x', 'y', 'z'});
  const Row rows[] = {
      {"the query", query, true},
      {"the query and more", longer, true},
      {"its first 19 bytes", Bytes(query.begin(), query.end() - 1), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ServedDevice served(NotLocalOnly());
    ASSERT_EQ(served.startResult, aErrNone);
    // Made after the start: it uses the interface setting the server left.
    BeaconPeer peer;
    EXPECT_EQ(peer.hostname(), Dotted(first_));
    peer.Publish(row.content);
    std::optional<BeaconPeer::Heard> heard = NextAnnouncement(peer, row.answered ? 300 : 1000);
    ASSERT_EQ(heard.has_value(), row.answered);
    if (heard) {
      EXPECT_EQ(heard->sender, Dotted(first_));
      EXPECT_EQ(heard->content, Announcement(served));
    }
    peer.Silence();
  }
}

TEST_F(ServerBeacon, AnnouncesForAbout2SecondsFromTheFirstQueryAndAgainAtTheNext) {
  ServedDevice served(NotLocalOnly());
  ASSERT_EQ(served.startResult, aErrNone);
  BeaconPeer peer;
  uint64_t firstQuery = aTime_GetMonotonicMS();
  peer.Publish(BeaconQuery());
  aTime_MSSleep(500);
  peer.Silence();
  uint64_t last = 0;
  int heard = 0;
  while (std::optional<BeaconPeer::Heard> announcement = NextAnnouncement(peer, 1500)) {
    last = announcement->atMs;
    ++heard;
    ASSERT_LT(last - firstQuery, 6000u);
  }
  // Every 100 ms for 2 s: some 20. A starved sender may miss some; a publisher that answered
  // only the five queries, or announced once a second, would give 5 at most.
  EXPECT_GE(heard, 6);
  EXPECT_GE(last - firstQuery, 2000u);
  EXPECT_LE(last - firstQuery, 3200u);

  aTime_MSSleep(1000);
  peer.Publish(BeaconQuery());
  EXPECT_TRUE(NextAnnouncement(peer, 3000).has_value());
}

TEST_F(ServerBeacon, NothingIsAnnouncedWhileTheModelIs0) {
  ServedDevice served(NotLocalOnly(0));
  ASSERT_EQ(served.startResult, aErrNone);
  BeaconPeer peer;
  peer.Publish(BeaconQuery());
  EXPECT_FALSE(NextAnnouncement(peer, 1000).has_value());
}
