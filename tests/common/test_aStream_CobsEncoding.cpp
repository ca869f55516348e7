#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "FramingOver.h"
#include "MemoryPipe.h"
#include "PacketHelpers.h"
#include "PeerFraming.h"
#include "aStream_CobsEncoding.h"

namespace {

using End = MemoryPipe::End;

// The library's framing on end A of a pipe; end B is the line's far side.
struct FramedPipe {
  MemoryPipe pipe;
  StreamPtr framing;

  FramedPipe() {
    aStream* out = nullptr;
    EXPECT_EQ(CreateFramingOver(pipe.Release(MemoryPipe::kA), &out), aErrNone);
    framing.reset(out);
  }
  aStream* stream() const { return framing.get(); }
  void Line(const std::vector<uint8_t>& bytes) { pipe.Inject(MemoryPipe::kA, bytes); }
  std::vector<MemoryPipe::TapCall> Sent() const { return pipe.Tap(MemoryPipe::kA); }
};

// Reads until the line is used up: each delivered packet as hex text, each refused frame as
// "refused", any other failure by its code.
std::vector<std::string> ReadAll(FramedPipe& fp) {
  std::vector<std::string> events;
  std::vector<uint8_t> packet;
  int idle = 0;  // the delimiter's not-ready comes before its packet: stop at the second
  for (int calls = 0; calls < 10000; ++calls) {
    uint8_t byte = 0;
    aErr err = aStream_Read(fp.stream(), &byte, 1);
    idle = err == aErrNotReady && fp.pipe.Pending(MemoryPipe::kA) == 0 ? idle + 1 : 0;
    if (err == aErrNone) {
      packet.push_back(byte);
      continue;
    }
    if (!packet.empty()) events.push_back(HexText(packet));
    packet.clear();
    if (err == aErrPacket) {
      events.push_back("refused");
    } else if (err != aErrNotReady) {
      events.push_back("code " + std::to_string(err));
    } else if (idle == 2) {
      break;
    }
  }
  return events;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> MaxPacket() {
  std::vector<uint8_t> wire = {0x06, 28};
  for (uint8_t i = 1; i <= 28; ++i) wire.push_back(i);
  return wire;
}

}  // namespace

TEST(CobsStream, KnownFramesBothWays) {
  struct Case {
    const char* wire;
    const char* line;
  };
  for (const Case& c : {Case{"02 00", "02 02 02 91 00"}, Case{"04 01 03", "05 04 01 03 B8 00"}}) {
    FramedPipe fp;
    std::vector<uint8_t> wire = HexBytes(c.wire);
    ASSERT_EQ(aStream_Write(fp.stream(), wire.data(), wire.size()), aErrNone);
    std::vector<MemoryPipe::TapCall> sent = fp.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].op, MemoryPipe::kWrite);
    EXPECT_EQ(sent[0].bytes, HexBytes(c.line)) << c.wire;

    fp.Line(HexBytes(c.line));
    EXPECT_EQ(ReadAll(fp), std::vector<std::string>{HexText(wire)});
  }
}

TEST(CobsStream, EveryPayloadLengthRoundTrips) {
  FramedPipe fp;
  PeerDeframer peer;
  PacketGenerator packets(28);
  std::vector<std::string> expected;
  for (uint8_t length = 0; length <= 28; ++length) {
    std::vector<uint8_t> wire = {static_cast<uint8_t>(2 * (length + 1)), length};
    for (uint8_t i = 0; i < length; ++i) wire.push_back(static_cast<uint8_t>(packets.Uniform(0, 255)));
    ASSERT_EQ(aStream_Write(fp.stream(), wire.data(), wire.size()), aErrNone);
    // What went on the line is what an independent peer reads, and it reads back the same.
    std::vector<uint8_t> line = fp.Sent().back().bytes;
    EXPECT_LE(line.size(), 33u);
    std::vector<PeerDeframer::Frame> frames = peer.Feed(line.data(), line.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_EQ(frames[0].wire, wire);
    fp.Line(line);
    expected.push_back(HexText(wire));
  }
  EXPECT_EQ(ReadAll(fp), expected);
}

TEST(CobsStream, RefusesBadFramesAtTheirDelimiter) {
  const std::vector<uint8_t> good = PeerFrame(HexBytes("08 02 10 20"));
  std::vector<uint8_t> badCrc = PeerFrame(HexBytes("08 01 07"));
  badCrc[badCrc.size() - 2] ^= 0x01;  // the CRC is the last encoded byte here
  std::vector<uint8_t> badLength = PeerCobsEncode({0x08, 0x02, 0x07, PeerCrc8({0x08, 0x02, 0x07})});
  badLength.push_back(0);
  std::vector<uint8_t> overlong(40, 0x55);
  overlong.push_back(0);
  // One byte past a frame that is good in its first 32 encoded bytes: truncating it would pass.
  std::vector<uint8_t> oneTooMany = PeerFrame(MaxPacket());
  oneTooMany.insert(oneTooMany.end() - 1, 0x42);

  struct Case {
    const char* name;
    std::vector<uint8_t> line;
  };
  const Case cases[] = {
      {"altered CRC", badCrc},
      {"wrong length byte", badLength},
      {"code byte overruns", HexBytes("02 08 09 01 02 00")},
      {"more than 32 encoded bytes", overlong},
      {"33 encoded bytes", oneTooMany},
      {"too short", HexBytes("03 08 01 00")},
      {"one byte", HexBytes("07 00")},
  };
  for (const Case& c : cases) {
    FramedPipe fp;
    fp.Line(Cat(c.line, good));
    EXPECT_EQ(ReadAll(fp), (std::vector<std::string>{"refused", "08 02 10 20"})) << c.name;
  }
}

TEST(CobsStream, ZeroRunsAndTheLongestFrame) {
  FramedPipe fp;
  fp.Line(Cat(Cat(HexBytes("00 00 00"), PeerFrame(MaxPacket())), Cat(HexBytes("00 00"), PeerFrame(HexBytes("02 00")))));
  EXPECT_EQ(ReadAll(fp), (std::vector<std::string>{HexText(MaxPacket()), "02 00"}));
  EXPECT_EQ(PeerFrame(MaxPacket()).size(), 33u);
}

TEST(CobsStream, WritesOneFramePerCompletedPacket) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<size_t> framesAfterEachWrite;
    std::vector<const char*> packets;
  };
  const Case cases[] = {
      {"two packets in one write", {HexBytes("02 00 04 01 03")}, {2}, {"02 00", "04 01 03"}},
      {"5 bytes, then the rest", {HexBytes("08 06 01 02 03"), HexBytes("04 05 06")}, {0, 1}, {"08 06 01 02 03 04 05 06"}},
      {"address 0 dropped", {HexBytes("00 04 01 03")}, {1}, {"04 01 03"}},
      {"length above 28 dropped", {HexBytes("06 1D 04 01 03")}, {1}, {"04 01 03"}},
  };
  for (const Case& c : cases) {
    FramedPipe fp;
    for (size_t i = 0; i < c.writes.size(); ++i) {
      EXPECT_EQ(aStream_Write(fp.stream(), c.writes[i].data(), c.writes[i].size()), aErrNone);
      EXPECT_EQ(fp.Sent().size(), c.framesAfterEachWrite[i]) << c.name << " write " << i;
    }
    std::vector<MemoryPipe::TapCall> sent = fp.Sent();
    ASSERT_EQ(sent.size(), c.packets.size()) << c.name;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].op, MemoryPipe::kWrite);
      EXPECT_EQ(sent[i].bytes, PeerFrame(HexBytes(c.packets[i]))) << c.name;
    }
  }
}

TEST(CobsStream, OneByteWriteGoesOutRaw) {
  FramedPipe fp;
  const uint8_t byte = 0x3F;
  EXPECT_EQ(aStream_Write(fp.stream(), &byte, 1), aErrNone);
  std::vector<MemoryPipe::TapCall> sent = fp.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].op, MemoryPipe::kPut);
  EXPECT_EQ(sent[0].bytes, std::vector<uint8_t>{0x3F});
}

TEST(CobsStream, UnderlyingResults) {
  FramedPipe fp;
  // A failure reaches the reader (a vanished port must not look like a silent one) ...
  fp.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kGet, 1, aErrIO);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(fp.stream(), &byte, 1), aErrIO);
  // ... while the end of the underlying stream reads as nothing yet.
  fp.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kGet, 1, aErrEOF);
  EXPECT_EQ(aStream_Read(fp.stream(), &byte, 1), aErrNotReady);
  // A write whose first frame fails and second succeeds reports the failure.
  fp.pipe.FailNext(MemoryPipe::kA, MemoryPipe::kWrite, 1, aErrIO);
  std::vector<uint8_t> two = HexBytes("02 00 04 01 03");
  EXPECT_EQ(aStream_Write(fp.stream(), two.data(), two.size()), aErrIO);
  EXPECT_EQ(fp.pipe.Pending(MemoryPipe::kB), PeerFrame(HexBytes("04 01 03")).size());
}

TEST(CobsStream, Creation) {
  EXPECT_EQ(aStream_CreateCobsEncoding(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), aErrParam);
}

// The reader waits after every not-ready; at a delimiter the packet is ready although the line
// is quiet, so the wait must answer at once.
TEST(CobsStream, WaitAnswersAtOnceWithAPacketPending) {
  FramedPipe fp;
  EXPECT_EQ(aStream_WaitReadable(fp.stream(), 20), aErrTimeout);  // nothing anywhere
  fp.Line(PeerFrame(HexBytes("08 00")));
  EXPECT_EQ(aStream_WaitReadable(fp.stream(), 0), aErrNone);  // line bytes waiting
  uint8_t byte = 0;
  for (size_t i = 0; i < PeerFrame(HexBytes("08 00")).size(); ++i) {
    ASSERT_EQ(aStream_Read(fp.stream(), &byte, 1), aErrNotReady);
  }
  ASSERT_EQ(fp.pipe.Pending(MemoryPipe::kA), 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_WaitReadable(fp.stream(), 5000), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(aStream_Read(fp.stream(), &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x08);
}
