// The pty transport of the simulated device, seen through the library's packetized serial
// stream: it must frame what the device says, hand the device what the host frames, put bad
// frames on the line as they are, pace, and notice the client leaving.
#include <gtest/gtest.h>

#include <vector>

#include "PacketHelpers.h"
#include "SimLinkPty.h"
#include "unix_streamserial.h"
#include "unix_time.h"

namespace {

// Reads packets (wire forms) and refusals from the stream for up to ms.
struct Reading {
  std::vector<std::vector<uint8_t>> packets;
  size_t refused = 0;
};

Reading ReadFor(aStream* stream, uint64_t ms, size_t wantPackets) {
  Reading reading;
  std::vector<uint8_t> current;
  uint64_t deadline = aTime_GetMonotonicMS() + ms;
  while (aTime_GetMonotonicMS() < deadline && reading.packets.size() < wantPackets) {
    uint8_t byte = 0;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      current.push_back(byte);
      if (current.size() >= 2 && current.size() == current[1] + 2u) {
        reading.packets.push_back(current);
        current.clear();
      }
      continue;
    }
    if (err == aErrPacket) ++reading.refused;
    if (err == aErrNotReady) aStream_WaitReadable(stream, 10);
  }
  return reading;
}

struct Line {
  PtyPair pty;
  SimLinkDevice device;
  SimLinkPty transport{pty, device};
  StreamPtr stream;
  Line() {
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial_Packetized(pty.slaveName().c_str(), 6, false, 0, 0, &s), aErrNone);
    stream.reset(s);
  }
  void Write(const std::vector<uint8_t>& wire) {
    ASSERT_EQ(aStream_Write(stream.get(), wire.data(), wire.size()), aErrNone);
  }
};

}  // namespace

TEST(SimLinkPty, CarriesFramedPacketsBothWays) {
  Line line;
  line.device.SetEcho(true);
  line.Write(HexBytes("08 02 11 22"));
  line.Write(HexBytes("AD 00"));
  Reading got = ReadFor(line.stream.get(), 2000, 2);
  ASSERT_EQ(got.packets.size(), 2u);
  EXPECT_EQ(got.packets[0], HexBytes("08 02 11 22"));
  EXPECT_EQ(got.packets[1], HexBytes("08 00"));
  EXPECT_EQ(line.device.SyncCount(), 1u);
  // The line saw the frames themselves.
  std::vector<uint8_t> sent;
  for (const SimLinkPty::LineByte& b : line.transport.LineFromHost()) sent.push_back(b.byte);
  std::vector<uint8_t> expected = PeerFrame(HexBytes("08 02 11 22"));
  for (uint8_t b : PeerFrame(HexBytes("AD 00"))) expected.push_back(b);
  EXPECT_EQ(sent, expected);
}

TEST(SimLinkPty, BadFramesReachTheHostAsTheyAre) {
  const SimLinkPty::BadFrame kinds[] = {
      SimLinkPty::BadFrame::kCrc,         SimLinkPty::BadFrame::kLength,        SimLinkPty::BadFrame::kOverlong,
      SimLinkPty::BadFrame::kCodeOverrun, SimLinkPty::BadFrame::kLostDelimiter, SimLinkPty::BadFrame::kGarbage};
  Line line;
  for (SimLinkPty::BadFrame kind : kinds) line.transport.SendBadFrame(kind);
  line.transport.SendBadFrame(SimLinkPty::BadFrame::kOddAddress);  // a good frame of a bad packet
  Reading got = ReadFor(line.stream.get(), 2000, 1);
  EXPECT_EQ(got.refused, std::size(kinds));
  ASSERT_EQ(got.packets.size(), 1u);
  EXPECT_EQ(got.packets[0], HexBytes("03 00"));
}

TEST(SimLinkPty, PacesItsOutput) {
  Line line;
  line.transport.SetPacing(11520);
  uint64_t start = aTime_GetMonotonicMS();
  line.transport.SendLine(std::vector<uint8_t>(2304, 0x00));  // 200 ms of line time
  uint64_t at = 0;
  ASSERT_TRUE(line.transport.WaitSent(5000, &at));
  EXPECT_GE(at - start, 180u);
  EXPECT_LT(at - start, 1000u);
}

TEST(SimLinkPty, NoticesTheClientLeaving) {
  Line line;
  line.Write(HexBytes("08 00"));
  ASSERT_TRUE(line.device.WaitForPackets(1, 2000));
  EXPECT_FALSE(line.transport.WaitClientGone(20));
  line.stream.reset();
  EXPECT_TRUE(line.transport.WaitClientGone(2000));
}

TEST(SimLinkPty, Vanishes) {
  Line line;
  line.transport.Vanish();
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(line.stream.get(), &byte, 1), aErrIO);
}
