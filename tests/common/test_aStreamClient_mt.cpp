// The client stream and client links, against a scripted ROUTER in place of a link server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "FakeRouter.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "aLinkThroughServer.h"
#include "aStreamClient.h"
#include "unix_time.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kLoopback = 0x0100007F;

uint64_t MsSince(uint64_t start) { return aTime_GetMonotonicMS() - start; }

// A loopback port where nobody listens: bound, then released.
// A loopback port where no server runs while this holds it: bound, never listening, so connects
// are refused, and no other socket (of a test running beside) can take it meanwhile.
class DeadPort {
 public:
  DeadPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length) == 0)
      port_ = ntohs(at.sin_port);
  }
  ~DeadPort() {
    if (fd_ >= 0) close(fd_);
  }
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

class ClientStream : public testing::Test {
 protected:
  void SetUp() override {
    StartMessageLibrary();
    baseline_ = CountThreads();
  }
  void ExpectThreadsBack() {
    EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline_; }, kBound)) << "threads";
  }

  // A stream to the fake, and the identity its first write made known.
  StreamPtr Connect(Bytes* identity) {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateClient(kLoopback, router_.port(), &stream), aErrNone);
    StreamPtr held(stream);
    Bytes hello = HexBytes("08 01 55");
    size_t before = router_.Messages().size();
    EXPECT_EQ(aStream_Write(stream, hello.data(), hello.size()), aErrNone);
    EXPECT_TRUE(router_.WaitForMessages(before + 1, kBound));
    *identity = router_.Messages().back().identity;
    return held;
  }

  // n bytes by single gets, each within the get's own second.
  Bytes Get(aStream* stream, size_t n) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) {
      uint8_t byte = 0;
      aErr err = aStream_Read(stream, &byte, 1);
      if (err != aErrNone) {
        ADD_FAILURE() << "get " << i << ": " << err;
        break;
      }
      bytes.push_back(byte);
    }
    return bytes;
  }

  FakeRouter router_;
  int baseline_ = 0;
};

}  // namespace

TEST_F(ClientStream, CreationAndAServerThatIsNotThere) {
  EXPECT_EQ(aStream_CreateClient(kLoopback, router_.port(), nullptr), aErrParam);

  DeadPort dead;
  ASSERT_NE(dead.port(), 0);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateClient(kLoopback, dead.port(), &stream), aErrNone);
  StreamPtr held(stream);
  for (int i = 0; i < 2; ++i) {
    uint8_t byte = 0;
    uint64_t start = aTime_GetMonotonicMS();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_GE(MsSince(start), 900u);
    EXPECT_LT(MsSince(start), 2500u);  // its one second, with room for a loaded machine
  }
  held.reset();
  ExpectThreadsBack();
}

TEST_F(ClientStream, FramesComeOutByteByByteInOrder) {
  Bytes identity;
  StreamPtr stream = Connect(&identity);
  ASSERT_FALSE(identity.empty());

  Bytes reply = HexBytes("08 03 17 01 02");
  ASSERT_TRUE(router_.Send(identity, {reply}));
  EXPECT_EQ(Get(stream.get(), 5), reply);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady) << "the sixth waits for a frame";

  Bytes batch;
  for (uint8_t tag : {1, 2}) {
    Bytes packet = StreamPacketBytes(8, tag);
    batch.insert(batch.end(), packet.begin(), packet.end());
  }
  ASSERT_EQ(batch.size(), 60u);
  ASSERT_TRUE(router_.Send(identity, {batch}));
  EXPECT_EQ(Get(stream.get(), 60), batch);

  // An empty frame is refused once; the frame after it comes out whole.
  ASSERT_TRUE(router_.Send(identity, {{}}));
  ASSERT_TRUE(router_.Send(identity, {reply}));
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrIndexRange);
  EXPECT_EQ(Get(stream.get(), 5), reply);

  stream.reset();
  ExpectThreadsBack();
}

TEST_F(ClientStream, EachWholePacketOfAWriteIsOneMessage) {
  Bytes identity;
  StreamPtr stream = Connect(&identity);
  Bytes p30 = TransferPacket(8, 3, 28, 0, true);
  Bytes p5 = HexBytes("08 03 17 01 02");
  auto join = [](std::vector<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  struct Row {
    const char* what;
    Bytes block;
    aErr result;
    std::vector<Bytes> messages;
  };
  const Row rows[] = {
      {"one packet", p30, aErrNone, {p30}},
      {"two packets in one write", join({p30, p30}), aErrNone, {p30, p30}},
      {"a packet and a short one", join({p30, p5}), aErrNone, {p30, p5}},
      {"ends inside a packet", join({p5, HexBytes("08 03 17")}), aErrPacket, {p5}},
      {"a length byte above 28", join({p5, HexBytes("08 1D"), Bytes(29, 0)}), aErrPacket, {p5}},
      {"two bytes, no payload", HexBytes("AD 00"), aErrNone, {HexBytes("AD 00")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    size_t before = router_.Messages().size();
    EXPECT_EQ(aStream_Write(stream.get(), row.block.data(), row.block.size()), row.result);
    ASSERT_TRUE(router_.WaitForMessages(before + row.messages.size(), kBound));
    // Nothing beyond the whole packets.
    aTime_MSSleep(50);
    std::vector<FakeRouter::Message> messages = router_.Messages();
    ASSERT_EQ(messages.size(), before + row.messages.size());
    for (size_t i = 0; i < row.messages.size(); ++i) {
      EXPECT_EQ(messages[before + i].identity, identity);
      EXPECT_EQ(messages[before + i].frames, std::vector<Bytes>{row.messages[i]});
    }
  }
  uint8_t one = 0x08;
  EXPECT_EQ(aStream_Write(stream.get(), &one, 1), aErrUnimplemented) << "one byte goes to the put";
}

TEST_F(ClientStream, ProceduresRefuseAStateWithoutItsFrontend) {
  Bytes identity;
  StreamPtr stream = Connect(&identity);
  // A zero-filled state has no frontend.
  alignas(16) uint8_t blank[512] = {};
  uint8_t byte = 0;
  const uint8_t packet[] = {0x08, 0x00};
  EXPECT_EQ(stream->get(&byte, blank), aErrParam);
  EXPECT_EQ(stream->write(packet, sizeof packet, blank), aErrParam);
  EXPECT_EQ(stream->deleteProc(blank), aErrIO);
  EXPECT_EQ(stream->put(&byte, blank), aErrUnimplemented);
}

TEST_F(ClientStream, PacketSizesOfABlock) {
  struct Row {
    Bytes block;
    size_t size;
  };
  const Row rows[] = {
      {{}, 0},
      {HexBytes("08"), 0},
      {HexBytes("08 00"), 2},
      {HexBytes("08 01"), 0},
      {HexBytes("08 01 55 08 00"), 3},
      {Bytes{0x08, 0x1C}, 0},
      {Bytes{0x08, 0x1D}, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(aStreamClient_PacketSize(row.block.data(), row.block.size()), row.size) << HexText(row.block);
  Bytes full(30, 0x11);
  full[1] = 28;
  EXPECT_EQ(aStreamClient_PacketSize(full.data(), full.size()), 30u);
  Bytes over(31, 0x11);
  over[1] = 29;
  EXPECT_EQ(aStreamClient_PacketSize(over.data(), over.size()), 0u);
}

TEST_F(ClientStream, AClientLinkThroughTheFake) {
  size_t links = sRegistryCount();
  aLinkRef client = aLink_CreateClient(kLoopback, router_.port(), 0);
  ASSERT_NE(client, 0u);
  EXPECT_EQ(aLink_GetStatus(client), kLinkStatusRunning);
  ASSERT_TRUE(router_.WaitForMessages(1, kBound));
  FakeRouter::Message route = router_.Messages()[0];
  EXPECT_EQ(route.frames, std::vector<Bytes>{HexBytes("AF 01 01")});
  Bytes identity = route.identity;

  PacketPtr request(aPacket_CreateWithData(8, 3, HexBytes("17 01 02").data()));
  ASSERT_EQ(aLink_PutPacket(client, request.get()), aErrNone);
  ASSERT_TRUE(router_.WaitForMessages(2, kBound));
  EXPECT_EQ(router_.Messages()[1].frames, std::vector<Bytes>{HexBytes("08 03 17 01 02")});

  // A reply, then a batch of two packets: three inbound packets in order.
  Bytes first = StreamPacketBytes(8, 1);
  Bytes second = StreamPacketBytes(8, 2);
  Bytes batch = first;
  batch.insert(batch.end(), second.begin(), second.end());
  ASSERT_TRUE(router_.Send(identity, {HexBytes("08 03 17 01 02")}));
  ASSERT_TRUE(router_.Send(identity, {batch}));
  for (const Bytes& expected : {HexBytes("08 03 17 01 02"), first, second}) {
    PacketPtr packet(aLink_AwaitPacket(client, kBound));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(WireBytes(packet.get()), expected);
  }

  // A reset makes a new connection: the fake sees another identity, and the link runs on it.
  ASSERT_EQ(aLink_Reset(client), aErrNone);
  EXPECT_EQ(aLink_GetStatus(client), kLinkStatusRunning);
  ASSERT_TRUE(Eventually([&] { return router_.Identities().size() == 2; }, kBound));
  Bytes renewed = router_.Identities()[1];
  EXPECT_NE(renewed, identity);
  ASSERT_EQ(aLink_PutPacket(client, request.get()), aErrNone);
  ASSERT_TRUE(Eventually([&] {
    std::vector<FakeRouter::Message> messages = router_.Messages();
    return messages.back().identity == renewed && messages.back().frames == std::vector<Bytes>{HexBytes("08 03 17 01 02")};
  }, kBound));
  ASSERT_TRUE(router_.Send(renewed, {HexBytes("08 01 66")}));
  PacketPtr answer(aLink_AwaitPacket(client, kBound));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(WireBytes(answer.get()), HexBytes("08 01 66"));

  size_t before = router_.Messages().size();
  uint64_t start = aTime_GetMonotonicMS();
  ASSERT_EQ(aLink_Destroy(&client), aErrNone);
  EXPECT_LT(MsSince(start), 2000u) << "the reader leaves its get within a second";
  ASSERT_TRUE(router_.WaitForMessages(before + 1, kBound));
  EXPECT_EQ(router_.Messages().back().frames, std::vector<Bytes>{HexBytes("AF 01 00")});
  EXPECT_EQ(sRegistryCount(), links);
  ExpectThreadsBack();
}

TEST_F(ClientStream, ClientEntriesAndSharedUses) {
  size_t links = sRegistryCount();
  aLinkRef a = aLink_CreateClient(kLoopback, router_.port(), 0);
  aLinkRef b = aLink_CreateClient(kLoopback, router_.port(), 0);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  {
    LinkPin pa(a);
    LinkPin pb(b);
    ASSERT_NE(pa.entry(), nullptr);
    ASSERT_NE(pb.entry(), nullptr);
    EXPECT_EQ(pa.entry()->type, static_cast<uint32_t>(AORVEX));
    EXPECT_EQ(pa.entry()->ident0, kLoopback);
    EXPECT_EQ(pa.entry()->ident1, router_.port());
    EXPECT_EQ(pb.entry()->ident2, pa.entry()->ident2 + 1) << "consecutive client counter";
    EXPECT_EQ(pa.entry()->use_count, 1);
  }

  EXPECT_EQ(aLink_CreateClient(0, 0, a), a);
  {
    LinkPin pa(a);
    EXPECT_EQ(pa.entry()->use_count, 2);
  }
  aLinkRef gone = b;
  aLink_Destroy(&gone);
  EXPECT_EQ(aLink_CreateClient(kLoopback, router_.port(), b), 0u) << "unregistered";
  EXPECT_EQ(sRegistryCount(), links + 1);

  aLinkRef copy = a;
  aLink_Destroy(&copy);
  EXPECT_EQ(aLink_GetStatus(a), kLinkStatusRunning) << "one use left";
  aLink_Destroy(&a);
  EXPECT_EQ(sRegistryCount(), links);
  ExpectThreadsBack();
}

TEST_F(ClientStream, ClientsMadeOnManyThreadsAtOnceGetKeysOfTheirOwn) {
  size_t links = sRegistryCount();
  constexpr int kThreads = 4;
  constexpr int kEach = 3;
  std::vector<aLinkRef> made(kThreads * kEach, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) made[t * kEach + i] = aLink_CreateClient(kLoopback, router_.port(), 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<uint32_t> keys;
  for (aLinkRef ref : made) {
    ASSERT_NE(ref, 0u);
    LinkPin pin(ref);
    ASSERT_NE(pin.entry(), nullptr);
    keys.insert(pin.entry()->ident2);
  }
  EXPECT_EQ(keys.size(), made.size()) << "one client counter value each";
  for (aLinkRef& ref : made) aLink_Destroy(&ref);
  EXPECT_EQ(sRegistryCount(), links);
  ExpectThreadsBack();
}
