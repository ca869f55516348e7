// The link server's life: creation, start, stop, the link's last release, and clients in
// many processes and threads at once. Each case runs in a network namespace of its own with
// only lo: a local-only server answers discovery by multicast there.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Child.h"
#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "LinkEcho.h"
#include "MemoryPipe.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "aLinkManagerInternal.h"
#include "aServerInternal.h"

namespace {

const char* kRawClient = CORVANTIS_BINARY_DIR "/bin/corvantis-rawclient";

constexpr uint64_t kThreadsMs = 3000;

using Bytes = std::vector<uint8_t>;

Bytes Echo(uint8_t id, uint8_t i) { return {0x08, 0x03, 0x17, id, i}; }

// One echo through the server; true when exactly the request came back.
bool EchoThrough(RawDealer& client, uint8_t tag) {
  if (!client.Send(Echo(0x7E, tag))) return false;
  std::optional<Bytes> reply = client.Receive(3000);
  return reply && *reply == Echo(0x7E, tag);
}

// A link the server fronted, used directly: requests are answered, and stream packets are
// queued on it again (no filter takes them).
void ExpectWorksDirectly(ServedDevice& served) {
  EXPECT_TRUE(LinkEcho(served.link, 0x31));
  Bytes stream = StreamPacketBytes(0x08, 0x44);
  served.device.SendRaw(stream);
  PacketPtr got(aLink_AwaitPacket(served.link, 2000));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(WireBytes(got.get()), stream);
}

struct LifeRow {
  const char* name;
  ServedDevice::Options options;
  // Runs the case; the link is still held afterwards unless it says otherwise.
  std::function<void(ServedDevice& served, bool* linkHeld)> run;
};
void PrintTo(const LifeRow& row, std::ostream* out) { *out << row.name; }

class ServerLife : public testing::TestWithParam<LifeRow> {
 protected:
  void SetUp() override {
    RequirePrivateNetns();
    StartMessageLibrary();
    baseline_ = CountThreads();
  }
  int baseline_ = 0;
};

const LifeRow kLifeRows[] = {
    {"StartOnAnAddressNoInterfaceHasFails",
     [] {
       ServedDevice::Options options;
       options.localOnly = false;
       options.interfaceAddress = IPv4("198.51.100.9");
       return options;
     }(),
     [](ServedDevice& served, bool*) {
       EXPECT_EQ(served.startResult, aErrResource);
       EXPECT_EQ(served.DestroyServer(), aErrNone);
     }},
    {"DestroyWithAMulticastResponderIsQuick", ServedDevice::Options{},
     [](ServedDevice& served, bool*) {
       ASSERT_EQ(served.startResult, aErrNone);
       RawDealer client(served.port());
       EXPECT_TRUE(EchoThrough(client, 1));
       Stopwatch watch;
       EXPECT_EQ(served.DestroyServer(), aErrNone);
       EXPECT_LT(watch.ElapsedMs(), 1500);
       EXPECT_EQ(served.server, nullptr);
     }},
    {"DestroyWhileTheWorkerWaitsForAReply", ServedDevice::Options{},
     [](ServedDevice& served, bool*) {
       ASSERT_EQ(served.startResult, aErrNone);
       served.device.SetScript(SimLinkScript({{{0x32}, -1, {}}}));
       RawDealer client(served.port());
       ASSERT_TRUE(client.Send({0x08, 0x03, 0x32, 0, 0}));
       ASSERT_TRUE(served.device.WaitForPackets(served.device.PacketCount() + 1, 2000));
       Stopwatch watch;
       EXPECT_EQ(served.DestroyServer(), aErrNone);
       // The worker ends its 2 s reply wait first; not that and its 1 s poll besides.
       EXPECT_LT(watch.ElapsedMs(), 3000);
     }},
    // The worker serves queued requests one after another without going back to its poll,
    // so it must look for a stop between them: otherwise it would serve the whole queue, 3 s
    // here, before it ends.
    {"AStopEndsTheWorkerBetweenQueuedRequests", ServedDevice::Options{},
     [](ServedDevice& served, bool*) {
       ASSERT_EQ(served.startResult, aErrNone);
       constexpr uint8_t kQueued = 60;
       served.device.SetScript(SimLinkScript({{{0x33}, -1, {{{0x08, 0x01, 0x33}, 50}}}}));
       RawDealer client(served.port());
       size_t base = served.device.PacketCount();
       for (uint8_t i = 0; i < kQueued; ++i) ASSERT_TRUE(client.Send({0x08, 0x03, 0x33, i, 0}));
       ASSERT_TRUE(served.device.WaitForPackets(base + 2, 2000));
       Stopwatch watch;
       EXPECT_EQ(served.DestroyServer(), aErrNone);
       EXPECT_LT(watch.ElapsedMs(), 1500);
       EXPECT_LT(served.device.PacketCount() - base, 10u);
     }},
    {"TheLinksLastReleaseDestroysTheServer", ServedDevice::Options{},
     [](ServedDevice& served, bool* linkHeld) {
       ASSERT_EQ(served.startResult, aErrNone);
       RawDealer client(served.port());
       EXPECT_TRUE(EchoThrough(client, 2));
       EXPECT_EQ(served.ReleaseLink(), aErrNone);
       *linkHeld = false;
       ASSERT_TRUE(served.device.WaitForRoutes(2, 2000));
       EXPECT_EQ(served.device.RoutePackets().back(), (Bytes{0xAF, 0x01, 0x00}));
     }},
    {"ASecondStartIsRefusedAndChangesNothing", ServedDevice::Options{},
     [](ServedDevice& served, bool*) {
       ASSERT_EQ(served.startResult, aErrNone);
       uint16_t port = served.port();
       EXPECT_EQ(aServer_Start(served.server), aErrResource);
       EXPECT_EQ(served.port(), port);
       RawDealer client(port);
       EXPECT_TRUE(EchoThrough(client, 3));
       EXPECT_EQ(served.DestroyServer(), aErrNone);
     }},
    {"AServerNeverStartedFlushesNothingAndGoes",
     [] {
       ServedDevice::Options options;
       options.start = false;
       return options;
     }(),
     [](ServedDevice& served, bool*) {
       uint32_t interfaceAddress = 0;
       ASSERT_EQ(aServer_GetInterface(served.server, &interfaceAddress), aErrNone);
       EXPECT_EQ(interfaceAddress, IPv4("127.0.0.1"));
       EXPECT_EQ(served.server->publishedType, static_cast<uint32_t>(AORVEX_TCPIP));
       EXPECT_EQ(aServer_FlushFIFO(served.server), aErrNone);
       EXPECT_EQ(served.DestroyServer(), aErrNone);
     }},
};

}  // namespace

TEST_P(ServerLife, EndsWithItsThreadsAndLeavesTheLinkWorking) {
  {
    ServedDevice served(GetParam().options);
    ASSERT_NE(served.server, nullptr);
    bool linkHeld = true;
    GetParam().run(served, &linkHeld);
    if (linkHeld) ExpectWorksDirectly(served);
  }
  // Device, link and server all gone: a thread the server left would still count here.
  EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline_; }, kThreadsMs))
      << CountThreads() << " threads, " << baseline_ << " before";
}

INSTANTIATE_TEST_SUITE_P(Rows, ServerLife, testing::ValuesIn(kLifeRows),
                         [](const testing::TestParamInfo<LifeRow>& info) { return std::string(info.param.name); });

TEST(ServerCreate, RefusesWhatItCannotServe) {
  RequirePrivateNetns();
  aLinkRef client = sCreate(0x1234, 0, AORVEX);
  ASSERT_NE(client, 0u);
  MemoryPipe pipe;
  aLinkRef overStream = aLink_Create(pipe.Release(MemoryPipe::kA));
  ASSERT_NE(overStream, 0u);
  struct Row {
    const char* what;
    aLinkRef ref;
  };
  const Row rows[] = {{"a client link's entry", client}, {"a link over a caller's stream", overStream},
                      {"no link", 0}, {"an unregistered ref", 0x7FFF0000}};
  for (const Row& row : rows) {
    EXPECT_EQ(aServer_Create(row.ref, 0, true), nullptr) << row.what;
    EXPECT_EQ(aServer_Create(row.ref, IPv4("127.0.0.1"), false), nullptr) << row.what;
  }
  linkItem* entry = sExtractEntry(client);
  sRetireEntry(&entry, nullptr);
  EXPECT_EQ(aLink_Destroy(&overStream), aErrNone);
}

TEST(ServerCreate, EveryOperationRefusesNull) {
  RequirePrivateNetns();
  uint16_t port = 0;
  uint32_t interfaceAddress = 0;
  aServer* none = nullptr;
  EXPECT_EQ(aServer_Start(nullptr), aErrParam);
  EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aServer_Destroy(&none), aErrParam);
  EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
  EXPECT_EQ(aServer_GetInterface(nullptr, &interfaceAddress), aErrParam);
  EXPECT_EQ(aServer_SetModuleAddress(nullptr, 8), aErrParam);
  EXPECT_EQ(aServer_SetModel(nullptr, 17), aErrParam);
  EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
  ServedDevice::Options options;
  options.start = false;
  ServedDevice served(options);
  ASSERT_NE(served.server, nullptr);
  EXPECT_EQ(aServer_GetPort(served.server, nullptr), aErrParam);
  EXPECT_EQ(aServer_GetInterface(served.server, nullptr), aErrParam);
}

// Four client processes exchange echoes one at a time while the device streams; a client that
// enabled streaming in this process receives every burst, the others none.
TEST(ServerClients, SeveralProcessesAtOnceEachGetTheirOwnReplies) {
  RequirePrivateNetns();
  StartMessageLibrary();
  ServedDevice served;
  ASSERT_EQ(served.startResult, aErrNone);
  RawDealer streamer(served.port());
  Bytes enable{0x08, 0x07, 0x5D, 0x81, 0x01, 0, 0, 0, 0};
  ASSERT_TRUE(streamer.Send(enable));
  ASSERT_EQ(streamer.Receive(3000), enable);

  std::vector<std::unique_ptr<Child>> clients;
  for (int k = 0; k < 4; ++k) {
    clients.push_back(std::make_unique<Child>(
        kRawClient, std::vector<std::string>{"--endpoint", served.endpoint(), "--id", std::to_string(k), "--count",
                                             "100", "--timeout-ms", "5000"}));
    ASSERT_TRUE(clients.back()->started());
  }
  Bytes sent;
  Bytes streamed;
  std::vector<std::optional<int>> ends(clients.size());
  uint64_t deadline = aTime_GetMonotonicMS() + 40000;
  auto running = [&] {
    for (const std::optional<int>& end : ends)
      if (!end) return true;
    return false;
  };
  for (uint8_t tag = 0; running() && aTime_GetMonotonicMS() < deadline; ++tag) {
    Bytes burst;
    for (int i = 0; i < 5; ++i) {
      Bytes packet = StreamPacketBytes(0x08, static_cast<uint8_t>(tag * 5 + i));
      burst.insert(burst.end(), packet.begin(), packet.end());
    }
    sent.insert(sent.end(), burst.begin(), burst.end());
    burst.insert(burst.end(), {0x08, 0x02, 0x00, 0x05});  // a heartbeat closes the batch
    served.device.SendRaw(burst);
    for (std::optional<Bytes> frame = streamer.Receive(10); frame; frame = streamer.Receive(0))
      streamed.insert(streamed.end(), frame->begin(), frame->end());
    for (size_t k = 0; k < clients.size(); ++k)
      if (!ends[k]) ends[k] = clients[k]->Wait(0);
  }
  for (size_t k = 0; k < clients.size(); ++k) {
    ASSERT_TRUE(ends[k].has_value()) << "client " << k << " still runs";
    EXPECT_TRUE(WIFEXITED(*ends[k]) && WEXITSTATUS(*ends[k]) == 0) << "client " << k << ": " << *ends[k];
  }
  Eventually(
      [&] {
        for (std::optional<Bytes> frame = streamer.Receive(10); frame; frame = streamer.Receive(0))
          streamed.insert(streamed.end(), frame->begin(), frame->end());
        return streamed.size() >= sent.size();
      },
      5000);
  EXPECT_EQ(streamed.size(), sent.size());
  EXPECT_TRUE(streamed == sent);
}

// The link's last release destroys the server while clients in several threads send and the
// device streams: nothing is touched after it is freed, and every thread ends.
TEST(ServerClients, TheLinksLastReleaseWhileClientsAndStreamsRun) {
  RequirePrivateNetns();
  StartMessageLibrary();
  int baseline = CountThreads();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    {
      ServedDevice served;
      ASSERT_EQ(served.startResult, aErrNone);
      std::string endpoint = served.endpoint();
      std::atomic<bool> stop{false};
      std::atomic<int> answered{0};
      std::vector<std::thread> threads;
      for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
          RawDealer client(endpoint);
          client.Send({0x08, 0x07, 0x5D, 0x81, 0x01, 0, 0, 0, 0});
          for (uint8_t i = 0; !stop; ++i) {
            client.Send(Echo(static_cast<uint8_t>(k), i));
            if (client.Receive(50)) ++answered;
          }
        });
      }
      threads.emplace_back([&] {
        for (uint8_t tag = 0; !stop; ++tag) {
          Bytes burst = StreamPacketBytes(0x08, tag);
          burst.insert(burst.end(), {0x08, 0x02, 0x00, 0x05});
          served.device.SendRaw(burst);
          aTime_MSSleep(1);
        }
      });
      EXPECT_TRUE(Eventually([&] { return answered.load() > 20; }, 5000));
      EXPECT_EQ(served.ReleaseLink(), aErrNone);
      stop = true;
      for (std::thread& thread : threads) thread.join();
    }
    EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline; }, kThreadsMs))
        << CountThreads() << " threads, " << baseline << " before";
  }
}
