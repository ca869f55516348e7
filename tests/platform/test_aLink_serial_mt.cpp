// Serial links over a pty, with the simulated device on the master behind its COBS transport.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CpuTime.h"
#include "Eventually.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "SimLinkPty.h"
#include "aLinkInternal.h"
#include "aLinkSerial.h"
#include "unix_time.h"

namespace {

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint64_t kBound = 5000;  // ms, for what should be quick

PacketPtr Packet(uint8_t address, const std::vector<uint8_t>& payload) {
  static const uint8_t kNone = 0;  // an empty vector's data() may be NULL
  return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()),
                                          payload.empty() ? &kNone : payload.data()));
}

// Matches the packet whose wire form is the vector's bytes.
uint8_t sSameWire(const aPacket* packet, const void* ref) {
  const auto* want = static_cast<const std::vector<uint8_t>*>(ref);
  return WireBytes(packet) == *want;
}

uint8_t sAny(const aPacket*, const void*) { return 1; }

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A pty with the device on its master; the link, once created, on its slave.
struct SerialLink {
  PtyPair pty;
  SimLinkDevice device;
  std::unique_ptr<SimLinkPty> line = std::make_unique<SimLinkPty>(pty, device);
  aLinkRef ref = 0;

  ~SerialLink() {
    if (ref != 0) aLink_Destroy(&ref);
    line.reset();
  }
  aLinkRef Create(uint32_t serial = kSerial) {
    ref = aLink_CreateSerial(serial, pty.slaveName().c_str(), 115200);
    return ref;
  }
  std::vector<uint8_t> LineBytes() const {
    std::vector<uint8_t> bytes;
    for (const SimLinkPty::LineByte& b : line->LineFromHost()) bytes.push_back(b.byte);
    return bytes;
  }
  // A request the device echoes, answered within the link's usual 1000 ms.
  bool Exchange(const std::vector<uint8_t>& wire) {
    PacketPtr request = Packet(wire[0], std::vector<uint8_t>(wire.begin() + 2, wire.end()));
    if (aLink_PutPacket(ref, request.get()) != aErrNone) return false;
    PacketPtr reply(aLink_AwaitFirst(ref, sSameWire, &wire, 1000));
    return reply != nullptr;
  }
};

}  // namespace

TEST(SerialLink, LifeOfALink) {
  SerialLink link;
  link.device.SetEcho(true);
  ASSERT_NE(link.Create(), 0u);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);

  // Route on is the first frame: serial links run no handshake at creation.
  ASSERT_TRUE(link.device.WaitForRoutes(1, kBound));
  std::vector<uint8_t> first = link.LineBytes();
  ASSERT_GE(first.size(), 6u);
  EXPECT_EQ(HexText(std::vector<uint8_t>(first.begin(), first.begin() + 6)), "05 AF 01 01 33 00");
  EXPECT_EQ(link.device.SyncCount(), 0u);

  // The port is raw, 8N1, at the rate.
  int fd = open(link.pty.slaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  struct termios t = {};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & (CSIZE | CLOCAL | CREAD | PARENB | CSTOPB), static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  for (uint8_t length = 0; length <= 28; ++length) {
    std::vector<uint8_t> wire = {static_cast<uint8_t>(0x10 + 2 * length), length};
    for (uint8_t i = 0; i < length; ++i) wire.push_back(static_cast<uint8_t>(length * 9 + i));
    EXPECT_TRUE(link.Exchange(wire)) << "payload length " << int(length);
  }

  // The heartbeat is answered in its own frame and never queued.
  std::vector<uint8_t> answer;
  EXPECT_EQ(link.device.Heartbeat(0, 1000, &answer), SimLinkDevice::HeartbeatResult::kAnswered);
  EXPECT_TRUE(EndsWith(link.LineBytes(), HexBytes("03 08 02 03 02 EF 00")));
  std::vector<uint8_t> heartbeat = HexBytes("08 02 00 00");
  PacketPtr queued(aLink_GetFirst(link.ref, sSameWire, &heartbeat));
  EXPECT_EQ(queued, nullptr);

  EXPECT_EQ(aLink_Sync(link.ref), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);
  EXPECT_EQ(link.device.SyncCount(), 6u);
  std::vector<uint8_t> lateAnswer = HexBytes("08 00");
  PacketPtr late(aLink_GetFirst(link.ref, sSameWire, &lateAnswer));
  EXPECT_EQ(late, nullptr);

  // The same device on another port name is the same link.
  aLinkRef again = aLink_CreateSerial(kSerial, "/dev/no-such-port", 9600);
  EXPECT_EQ(again, link.ref);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);

  // Its entry keeps no port: the reset refuses it and leaves it running.
  EXPECT_EQ(aLink_Reset(link.ref), aErrParam);
  EXPECT_EQ(aLink_GetStatus(link.ref), kLinkStatusRunning);
  EXPECT_TRUE(link.Exchange(HexBytes("08 01 5A")));

  // Route off is the last frame before the port closes.
  ASSERT_EQ(aLink_Destroy(&link.ref), aErrNone);
  ASSERT_TRUE(link.line->WaitClientGone(kBound));
  EXPECT_TRUE(EndsWith(link.LineBytes(), HexBytes("03 AF 01 02 6D 00"))) << HexText(link.LineBytes());
}

TEST(SerialLink, RefusedCreation) {
  SerialLink good;
  ASSERT_NE(good.Create(0x5E000001), 0u);
  size_t registered = sRegistryCount();
  EXPECT_EQ(aLink_CreateSerial(0x5E000002, good.pty.slaveName().c_str(), 100000), 0u);
  EXPECT_EQ(sRegistryCount(), registered);
  EXPECT_EQ(aLink_CreateSerial(0x5E000003, "/dev/no-such-port", 115200), 0u);
  EXPECT_EQ(sRegistryCount(), registered);
  // The missing port drew an id; the next link gets the one after it.
  SerialLink next;
  EXPECT_EQ(next.Create(0x5E000004), good.ref + 2);
}

// One bad frame in the middle of normal traffic: the link resynchronises within a second, at
// full pty speed and at the line rate of 115200 baud.
struct RecoveryCase {
  const char* name;
  SimLinkPty::BadFrame kind;
};

class SerialRecovery : public ::testing::TestWithParam<std::tuple<RecoveryCase, uint32_t>> {};

TEST_P(SerialRecovery, WithinASecond) {
  const RecoveryCase& c = std::get<0>(GetParam());
  SerialLink link;
  link.line->SetPacing(std::get<1>(GetParam()));
  link.device.SetEcho(true);
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.Exchange(HexBytes("08 02 01 02")));

  size_t syncs = link.device.SyncCount();
  link.line->SendLine(Cat(PeerFrame(HexBytes("08 01 11")), SimLinkPty::BadFrameBytes(c.kind)));
  uint64_t badAt = 0;
  ASSERT_TRUE(link.line->WaitSent(kBound, &badAt));
  link.line->SendLine(PeerFrame(HexBytes("08 01 22")));

  ASSERT_TRUE(link.device.WaitForSyncCount(syncs + 6, 1000)) << c.name << ": no handshake";
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(link.ref) == kLinkStatusRunning; },
                         badAt + 1000 - std::min(aTime_GetMonotonicMS(), badAt + 1000)))
      << c.name << ": status " << aLink_GetStatus(link.ref);
  EXPECT_TRUE(link.Exchange(HexBytes("08 03 05 06 07"))) << c.name;
  size_t bursts = link.device.SyncCount() - syncs;
  EXPECT_GE(bursts, 6u) << c.name;
  EXPECT_LE(bursts, 18u) << c.name;
}

const RecoveryCase kRecoveryCases[] = {
    {"crc", SimLinkPty::BadFrame::kCrc},
    {"length", SimLinkPty::BadFrame::kLength},
    {"overlong", SimLinkPty::BadFrame::kOverlong},
    {"code_overrun", SimLinkPty::BadFrame::kCodeOverrun},
    {"lost_delimiter", SimLinkPty::BadFrame::kLostDelimiter},
    {"odd_address", SimLinkPty::BadFrame::kOddAddress},
    {"garbage", SimLinkPty::BadFrame::kGarbage},
};

INSTANTIATE_TEST_SUITE_P(Frames, SerialRecovery,
                         ::testing::Combine(::testing::ValuesIn(kRecoveryCases), ::testing::Values(0u, 11520u)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == 0 ? "_full_speed" : "_115200_baud");
                         });

// A device that stays silent after the bad frame: the link keeps trying, one burst of six
// AD 00 per quiet interval at most, and recovers once the device answers.
TEST(SerialLink, RecoversAfterSilence) {
  SerialLink link;
  link.device.SetEcho(true);
  ASSERT_NE(link.Create(), 0u);
  size_t syncs = link.device.SyncCount();
  link.device.SetSilent(true);
  link.line->SendBadFrame(SimLinkPty::BadFrame::kCrc);
  uint64_t badAt = 0;
  ASSERT_TRUE(link.line->WaitSent(kBound, &badAt));
  // Two bursts unanswered: the link keeps trying.
  ASSERT_TRUE(link.device.WaitForSyncCount(syncs + 12, kBound));
  uint64_t answerAt = aTime_GetMonotonicMS();
  link.device.SetSilent(false);

  size_t silentSyncs = 0;
  for (const SimLinkDevice::Received& p : link.device.Packets()) {
    if (p.wire == HexBytes("AD 00") && p.atMs >= badAt && p.atMs <= answerAt) ++silentSyncs;
  }
  EXPECT_GE(silentSyncs, 12u);
  EXPECT_LE(silentSyncs, 6u * ((answerAt - badAt) / kSyncQuietMs + 1));
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(link.ref) == kLinkStatusRunning; }, kBound));
  EXPECT_TRUE(link.Exchange(HexBytes("08 01 44")));
  EXPECT_GT(link.device.SyncCount(), syncs);
}

TEST(SerialLink, VanishedPortStaysInIOErrorWithoutSpinning) {
  int descriptors = CountOpenDescriptors();
  SerialLink link;
  int withPty = CountOpenDescriptors();
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.device.WaitForRoutes(1, kBound));

  // A spinning thread takes most of a core's second; the bound leaves room for a loaded
  // machine's slower wake-ups of the link's and the simulator's threads.
  constexpr double kIdleCpu = 0.25;
  double cpu = ProcessCpuSeconds();
  aTime_MSSleep(1000);
  EXPECT_LT(ProcessCpuSeconds() - cpu, kIdleCpu) << "idle link";

  link.line->Vanish();
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(link.ref) == kLinkStatusIOError; }, 1000));
  cpu = ProcessCpuSeconds();
  uint64_t until = aTime_GetMonotonicMS() + 1000;
  bool stayed = true;
  while (aTime_GetMonotonicMS() < until) {
    stayed = stayed && aLink_GetStatus(link.ref) == kLinkStatusIOError;
    aTime_MSSleep(10);
  }
  EXPECT_TRUE(stayed);
  EXPECT_LT(ProcessCpuSeconds() - cpu, kIdleCpu) << "link in status 6";

  uint64_t start = aTime_GetMonotonicMS();
  PacketPtr none(aLink_AwaitFirst(link.ref, sAny, nullptr, 1000));
  EXPECT_EQ(none, nullptr);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 500u) << "waited out the 1000 ms";

  EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
  // The master went with the vanish, the slave with the link.
  EXPECT_EQ(CountOpenDescriptors(), withPty - 1);
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
}

namespace {

constexpr uint8_t kNumberedAddress = 0x10;

// A packet that names itself: the greatest payload, with its number in the first two bytes.
std::vector<uint8_t> Numbered(uint16_t n) {
  std::vector<uint8_t> wire = {kNumberedAddress, 28, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  wire.resize(30, static_cast<uint8_t>(n * 7));
  return wire;
}

// Puts Numbered(first), Numbered(first + 1) ... ; their wire forms, in order.
std::vector<std::vector<uint8_t>> PutNumbered(aLinkRef ref, uint16_t first, size_t count) {
  std::vector<std::vector<uint8_t>> put;
  for (size_t i = 0; i < count; ++i) {
    put.push_back(Numbered(static_cast<uint16_t>(first + i)));
    PacketPtr packet = Packet(kNumberedAddress, std::vector<uint8_t>(put.back().begin() + 2, put.back().end()));
    EXPECT_EQ(aLink_PutPacket(ref, packet.get()), aErrNone);
  }
  return put;
}

// With the far end no longer reading, puts numbered packets until the writer is stuck on the
// full pty with `behind` of them queued: the outbound FIFO holds that many and does not shrink.
// The wire forms put, in order; empty when the line never filled.
std::vector<std::vector<uint8_t>> FillStoppedLine(SerialLink& link, size_t behind) {
  link.line->StopReading();
  PinnedLink pinned(link.ref);
  if (pinned.link() == nullptr) return {};
  aPacketFifoId out = pinned.link()->outFifo;
  std::vector<std::vector<uint8_t>> put;
  uint64_t deadline = aTime_GetMonotonicMS() + kBound;
  while (put.size() < 5000 && aTime_GetMonotonicMS() < deadline) {
    put.push_back(PutNumbered(link.ref, static_cast<uint16_t>(put.size()), 1).front());
    size_t queued = aPacketFifo_GetLength(out);
    if (queued >= behind && !Eventually([&] { return aPacketFifo_GetLength(out) < queued; }, 100)) return put;
  }
  return {};
}

// The numbered packets the device received, in order.
std::vector<std::vector<uint8_t>> NumberedAtDevice(const SimLinkDevice& device) {
  std::vector<std::vector<uint8_t>> got;
  for (const SimLinkDevice::Received& p : device.Packets()) {
    if (!p.wire.empty() && p.wire[0] == kNumberedAddress) got.push_back(p.wire);
  }
  return got;
}

// Every packet put reached the device whole and in order, nothing else came in between.
void ExpectDelivered(const SerialLink& link, const std::vector<std::vector<uint8_t>>& put) {
  ASSERT_FALSE(put.empty());
  EXPECT_TRUE(WaitForDevicePacket(link.device, [&](const std::vector<uint8_t>& wire) { return wire == put.back(); },
                                  10000));
  std::vector<std::vector<uint8_t>> got = NumberedAtDevice(link.device);
  EXPECT_EQ(got.size(), put.size());
  EXPECT_TRUE(got == put) << "packets lost, torn or out of order";
  EXPECT_EQ(link.line->RefusedFrames(), 0u);
}

}  // namespace

// A line that stops taking bytes holds each write for a second at most: the last release of the
// link returns with a hundred packets still queued behind the stuck one, the port closed and
// the link's threads gone.
TEST(SerialLink, StoppedLineReleasesInBoundedTime) {
  SerialLink link;
  int descriptors = CountOpenDescriptors();
  int threads = CountThreads();
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.device.WaitForRoutes(1, kBound));
  ASSERT_FALSE(FillStoppedLine(link, 100).empty()) << "the line never filled";

  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - start, 5000u);
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
  EXPECT_TRUE(Eventually([&] { return CountThreads() == threads; }, kBound));
}

// A line that stops and reads again before the second has passed loses nothing.
TEST(SerialLink, StoppedLineThatReadsAgainGetsEveryPacketInOrder) {
  SerialLink link;
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.device.WaitForRoutes(1, kBound));
  std::vector<std::vector<uint8_t>> put = FillStoppedLine(link, 100);
  ASSERT_FALSE(put.empty()) << "the line never filled";
  link.line->ResumeReading();
  ExpectDelivered(link, put);
}

// A line that takes bytes one at a time, slower than the link puts them: every write waits
// for room again and again, and still everything arrives.
TEST(SerialLink, LineTakingOneByteAtATimeGetsEveryPacketInOrder) {
  SerialLink link;
  link.line->SetIntake(16000);
  ASSERT_NE(link.Create(), 0u);
  ASSERT_TRUE(link.device.WaitForRoutes(1, kBound));
  std::vector<std::vector<uint8_t>> put = PutNumbered(link.ref, 0, 1000);  // 33 KB framed
  ExpectDelivered(link, put);
  uint64_t start = aTime_GetMonotonicMS();
  EXPECT_EQ(aLink_Destroy(&link.ref), aErrNone);
  EXPECT_LT(aTime_GetMonotonicMS() - start, kBound);
}
