// Link-server discovery by loopback multicast, against scripted responders, in a namespace with
// only lo (no broadcast interface: every interface asked for means multicast).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "DiscoveryRecorder.h"
#include "FakeMulticastResponder.h"
#include "Netns.h"
#include "aDiscovery.h"
#include "aOrvexDiscovery.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x5E12AB01;

Bytes Record(uint32_t type = 6, const char* address = "127.0.0.1", uint16_t port = 40001, uint32_t serial = kSerial) {
  return ServerRecord(type, serial, 8, 0x17, address, port);
}

Bytes Resized(Bytes bytes, size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

struct Responder {
  int k;
  Bytes reply;
  int copies = 1;
};

class OrvexDiscovery : public testing::Test {
 protected:
  void SetUp() override { RequirePrivateNetns(); }
};

}  // namespace

TEST_F(OrvexDiscovery, MulticastReportsWhatServersAnnounce) {
  struct Row {
    const char* what;
    std::vector<Responder> responders;
    std::vector<Bytes> reported;
    int64_t withinMs;  // below the 1 s receive wait for rows that need none, below two for the last
  };
  const Row rows[] = {
      {"no responder: every port bound in turn, no request", {}, {}, 1000},
      {"a responder at k = 3 (reply on 9953)", {{3, Record()}}, {Record()}, 1000},
      {"responders at k = 0 and 1", {{0, Record()}, {1, Record(5, "127.0.0.1", 40002)}},
       {Record(), Record(5, "127.0.0.1", 40002)}, 1000},
      {"the same record twice from one", {{0, Record(), 2}}, {Record()}, 1000},
      {"the same record from two", {{0, Record()}, {1, Record()}}, {Record()}, 1000},
      {"another address", {{0, Record(6, "127.0.0.2")}}, {}, 1000},
      {"127 bytes", {{0, Resized(Record(), 127)}}, {}, 1000},
      {"129 bytes", {{0, Resized(Record(), 129)}}, {}, 1000},
      // Types 1 to 3 would open the device that the sender names.
      {"a type-2 record", {{0, Record(2)}}, {}, 1000},
      {"a type-4 record", {{0, Record(4)}}, {}, 1000},
      {"type 7", {{0, Record(7)}}, {Record(7)}, 1000},
      {"silence with the port held: one second, nothing", {{0, Record(), 0}}, {}, 1900},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::unique_ptr<FakeMulticastResponder>> responders;
    for (const Responder& r : row.responders) {
      responders.push_back(std::make_unique<FakeMulticastResponder>(r.k, r.reply, r.copies));
      ASSERT_TRUE(responders.back()->ok());
    }
    DiscoveryRecorder recorder;
    Stopwatch watch;
    uint8_t count = recorder.Enumerate(AORVEX, 0);
    EXPECT_LT(watch.ElapsedMs(), row.withinMs);
    EXPECT_EQ(count, row.reported.size());
    ASSERT_EQ(recorder.reports.size(), row.reported.size());
    for (size_t i = 0; i < row.reported.size(); ++i) {
      RecordBytes got = BytesOf(recorder.reports[i]);
      EXPECT_EQ(Bytes(got.begin(), got.end()), row.reported[i]) << "report " << i;
    }
    EXPECT_EQ(recorder.foundOnEntry, 0);
    for (size_t i = 0; i < responders.size(); ++i) EXPECT_EQ(responders[i]->requests(), 1) << "responder " << i;
  }
}

TEST_F(OrvexDiscovery, EveryServerTypeAndInterfaceAsksTheSameWay) {
  FakeMulticastResponder responder(0, Record());
  ASSERT_TRUE(responder.ok());
  // 192.0.2.1 is no interface here: a host without broadcast interfaces asks by multicast.
  for (uint32_t networkInterface : {0u, IPv4("127.0.0.1"), IPv4("192.0.2.1")}) {
    for (int type = AORVEX; type <= AORVEX_SERIAL; ++type) {
      SCOPED_TRACE(testing::Message() << "type " << type << " interface " << networkInterface);
      DiscoveryRecorder recorder;
      EXPECT_EQ(recorder.Enumerate(static_cast<linkType>(type), networkInterface), 1);
      ASSERT_EQ(recorder.reports.size(), 1u);
      EXPECT_EQ(recorder.reports[0].type, 6u) << "the record as announced";
    }
  }
  linkSpec* found = aDiscovery_FindModule(AORVEX, kSerial, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->tcpPort, 40001u);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(AORVEX, kSerial + 1, 0), nullptr);
}

TEST_F(OrvexDiscovery, ACallbackThatStopsLeavesTheNextPortUnasked) {
  FakeMulticastResponder first(0, Record());
  FakeMulticastResponder second(1, Record(6, "127.0.0.1", 40002));
  ASSERT_TRUE(first.ok() && second.ok());
  DiscoveryRecorder recorder;
  recorder.stopAt = 1;
  EXPECT_EQ(recorder.Enumerate(AORVEX, 0), 1);
  EXPECT_EQ(recorder.reports.size(), 1u);
  EXPECT_EQ(first.requests(), 1);
  EXPECT_EQ(second.requests(), 0);

  // A report the callback does not mark found is not counted, and discovery goes on.
  DiscoveryRecorder unmarked;
  unmarked.setFound = false;
  EXPECT_EQ(unmarked.Enumerate(AORVEX, 0), 0);
  EXPECT_EQ(unmarked.reports.size(), 2u);
}

TEST(OrvexAnnouncement, AcceptanceByModeSizeTypeAndNovelty) {
  struct Row {
    const char* what;
    bool multicast;
    Bytes data;
    bool reported;
  };
  const Row rows[] = {
      {"multicast record", true, Record(), true},
      {"beacon record on another address", false, Record(5, "192.0.2.1"), true},
      {"multicast record on another address", true, Record(5, "192.0.2.1"), false},
      {"127 bytes", false, Resized(Record(), 127), false},
      {"129 bytes", false, Resized(Record(), 129), false},
      {"a query beacon", false, Bytes{'C', 'o', 'r', 'v'}, false},
      {"type 1", false, Record(1), false},
      {"type 3", false, Record(3), false},
      {"type 8", false, Record(8), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<linkSpec> seen;
    linkSpec spec{};
    EXPECT_EQ(aOrvexDiscovery_Accept(row.multicast, row.data.data(), row.data.size(), &seen, &spec), row.reported);
    EXPECT_EQ(seen.size(), row.reported ? 1u : 0u);
    EXPECT_FALSE(aOrvexDiscovery_Accept(row.multicast, row.data.data(), row.data.size(), &seen, &spec))
        << "never twice";
  }
  // Novelty is type, serial number, address and port: the model and module address are not.
  std::vector<linkSpec> seen;
  linkSpec spec{};
  Bytes record = Record();
  ASSERT_TRUE(aOrvexDiscovery_Accept(true, record.data(), record.size(), &seen, &spec));
  Bytes otherModel = record;
  otherModel[20] = 0x30;
  EXPECT_FALSE(aOrvexDiscovery_Accept(true, otherModel.data(), otherModel.size(), &seen, &spec));
  for (const Bytes& other : {Record(7), Record(6, "127.0.0.1", 40009), Record(6, "127.0.0.1", 40001, kSerial + 1)}) {
    EXPECT_TRUE(aOrvexDiscovery_Accept(true, other.data(), other.size(), &seen, &spec));
  }
}
