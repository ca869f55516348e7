// I2CClass against the simulated device's I2C buses: the request bytes, the data, the status
// byte, and replies of the wrong shape.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "DeviceRigs.h"
#include "I2CClass.h"
#include "PacketHelpers.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;
constexpr uint8_t kBus = 1;
constexpr uint8_t kSlave = 0xA0;

std::vector<uint8_t> Data(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(0x30 + i);
  return data;
}

class I2CBus : public testing::Test {
 protected:
  void SetUp() override {
    network().SetI2CSlave(6, kBus, kSlave, {Data(23)});
    ASSERT_EQ(rig_.Connect(), aErrNone);
    bus_.init(&rig_.module, kBus);
  }
  SimNetwork& network() { return rig_.network(); }
  SimLinkDevice& device() { return rig_.sim.device; }
  std::vector<std::vector<uint8_t>> Since(size_t from, size_t count) {
    return ReceivedSince(device(), from, count, kBound);
  }

  TcpModuleRig rig_;
  I2CClass bus_;
};

}  // namespace

TEST_F(I2CBus, ReadsWritesAndThePullup) {
  std::vector<uint8_t> buffer(32, 0xEE);
  size_t from = device().PacketCount();
  ASSERT_EQ(bus_.setSpeed(2), aErrNone);
  EXPECT_EQ(bus_.read(kSlave, 23, buffer.data()), aErrNone);
  EXPECT_EQ(Since(from, 1), std::vector<std::vector<uint8_t>>{HexBytes("06 05 08 01 A1 17 02")});
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 23), Data(23));
  EXPECT_EQ(buffer[23], 0xEE);

  from = device().PacketCount();
  EXPECT_EQ(bus_.write(kSlave, 0, nullptr), aErrNone);
  const uint8_t data[] = {0x10, 0x20, 0x30};
  EXPECT_EQ(bus_.write(kSlave, sizeof data, data), aErrNone);
  EXPECT_EQ(Since(from, 2),
            (std::vector<std::vector<uint8_t>>{HexBytes("06 05 08 01 A0 00 02"), HexBytes("06 08 08 01 A0 03 02 10 20 30")}));
  EXPECT_EQ(network().I2CWritten(6, kBus, kSlave), std::vector<uint8_t>(data, data + 3));

  from = device().PacketCount();
  EXPECT_EQ(bus_.setPullup(true), aErrNone);
  EXPECT_EQ(Since(from, 1), std::vector<std::vector<uint8_t>>{HexBytes("06 04 08 01 01 01")});
  EXPECT_EQ(network().I2CPullup(6, kBus), std::optional<bool>(true));
  EXPECT_EQ(bus_.setPullup(false), aErrNone);
  EXPECT_EQ(network().I2CPullup(6, kBus), std::optional<bool>(false));

  // A speed code above 3 changes nothing: the next read still sends the previous one.
  EXPECT_EQ(bus_.setSpeed(4), aErrParam);
  uint8_t speed = 0;
  EXPECT_EQ(bus_.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 2);
  from = device().PacketCount();
  EXPECT_EQ(bus_.read(kSlave, 1, buffer.data()), aErrNone);
  EXPECT_EQ(Since(from, 1), std::vector<std::vector<uint8_t>>{HexBytes("06 05 08 01 A1 01 02")});
}

TEST_F(I2CBus, StatusAndRepliesOfTheWrongShape) {
  enum Op { kRead, kWrite, kPullup };
  struct Row {
    const char* what;
    SimI2CSlave slave;
    std::optional<SimFault> fault;
    Op op;
    aErr result;
  };
  const SimI2CSlave plain{Data(23)};
  const Row rows[] = {
      {"failed status", {Data(4), 0x85}, {}, kRead, aErrBusy},
      {"failed status, write", {Data(4), 0x85}, {}, kWrite, aErrBusy},
      {"status without bit 7", {Data(4), 0x05}, {}, kRead, aErrNone},
      {"failed status with code 0", {Data(4), 0x80}, {}, kRead, aErrUnknown},
      {"4-byte reply", plain, SimFault::Length(4), kRead, aErrPacket},
      {"4-byte reply, write", plain, SimFault::Length(4), kWrite, aErrPacket},
      {"4-byte reply, pull-up", plain, SimFault::Length(4), kPullup, aErrPacket},
      {"count above the length asked", {Data(23), 0, SimI2CSlave::Shape::kCountAboveAsked}, {}, kRead, aErrPacket},
      {"count above the bytes carried", {Data(23), 0, SimI2CSlave::Shape::kCountAboveCarried}, {}, kRead, aErrPacket},
      {"no reply", plain, SimFault::NoReply(), kRead, aErrTimeout},
      {"no such slave", plain, {}, kRead, aErrNotFound},
  };
  for (const Row& row : rows) {
    uint8_t address = std::string(row.what) == "no such slave" ? 0x50 : kSlave;
    network().SetI2CSlave(6, kBus, kSlave, row.slave);
    if (row.fault) network().AddFault({8}, *row.fault);
    std::vector<uint8_t> buffer(16, 0xEE);
    const uint8_t data[] = {1, 2};
    aErr err = row.op == kRead ? bus_.read(address, 4, buffer.data())
               : row.op == kWrite ? bus_.write(address, 2, data)
                                 : bus_.setPullup(true);
    EXPECT_EQ(err, row.result) << row.what;
    // Nothing lands beyond the length asked, and a refused reply copies nothing.
    size_t copied = err == aErrNone ? 4 : 0;
    for (size_t i = copied; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << row.what << " at " << i;
    network().ClearFaults();
  }
}

TEST_F(I2CBus, BadArgumentsSendNothing) {
  I2CClass unbound;
  uint8_t buffer[32];
  size_t from = device().PacketCount();
  EXPECT_EQ(bus_.read(kSlave, 24, buffer), aErrSize);
  EXPECT_EQ(bus_.write(kSlave, 24, buffer), aErrSize);
  EXPECT_EQ(bus_.read(kSlave, 1, nullptr), aErrParam);
  EXPECT_EQ(bus_.write(kSlave, 1, nullptr), aErrParam);
  EXPECT_EQ(bus_.getSpeed(nullptr), aErrParam);
  EXPECT_EQ(unbound.read(kSlave, 1, buffer), aErrResource);
  EXPECT_EQ(unbound.setPullup(true), aErrResource);
  EXPECT_EQ(device().PacketCount(), from);
}

TEST(I2CReplies, CountsStayWithinBothBounds) {
  struct Row {
    const char* what;
    std::vector<uint8_t> reply;
    uint8_t asked;
    aErr result;
    size_t copied;
  };
  const Row rows[] = {
      {"right", HexBytes("08 01 A1 02 00 11 22"), 2, aErrNone, 2},
      {"fewer than asked", HexBytes("08 01 A1 01 00 11"), 2, aErrNone, 1},
      {"count above asked", HexBytes("08 01 A1 03 00 11 22 33"), 2, aErrPacket, 0},
      {"count above carried", HexBytes("08 01 A1 02 00 11"), 2, aErrPacket, 0},
      {"no data byte room", HexBytes("08 01 A1 01 00"), 2, aErrPacket, 0},
      {"4 bytes", HexBytes("08 01 A1 00"), 2, aErrPacket, 0},
      {"failed", HexBytes("08 01 A1 00 9D"), 2, aErrInvalidOption, 0},
  };
  for (const Row& row : rows) {
    uint8_t buffer[8];
    std::fill(buffer, buffer + 8, 0xEE);
    EXPECT_EQ(sI2CReply(row.reply.data(), static_cast<uint8_t>(row.reply.size()), row.asked, buffer), row.result)
        << row.what;
    for (size_t i = 0; i < 8; ++i) {
      uint8_t want = i < row.copied ? row.reply[5 + i] : 0xEE;
      EXPECT_EQ(buffer[i], want) << row.what << " at " << i;
    }
  }
}
