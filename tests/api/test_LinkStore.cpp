// Store slots and factory data through a Module's Link over loopback TCP, against the
// simulated device's slots, factory blocks and faults.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "PacketHelpers.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 3);
  return bytes;
}

uint8_t Sum(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  uint8_t sum = 0;
  for (size_t i = from; i < from + count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

class LinkStore : public testing::Test {
 protected:
  void SetUp() override {
    rig_.network().SetSlot(6, 1, 2, 100, Pattern(40, 0x10));
    rig_.network().SetFactory(6, 5, Pattern(30, 0x40));
    rig_.network().SetFactory(6, 0, Pattern(8, 0x70));
    ASSERT_EQ(rig_.Connect(), aErrNone);
  }

  Link& link() { return rig_.link(); }
  SimNetwork& network() { return rig_.network(); }
  SimLinkDevice& device() { return rig_.sim.device; }

  // The payloads (wire without address and length) the device received since `from`.
  std::vector<std::string> PayloadsSince(size_t from) {
    std::vector<std::string> payloads;
    for (const std::vector<uint8_t>& wire : ReceivedSince(device(), from))
      payloads.push_back(HexText(std::vector<uint8_t>(wire.begin() + 2, wire.end())));
    return payloads;
  }

  // What the device received since `from`, once the echo that follows it is back.
  std::vector<std::string> SentSince(size_t from) {
    EXPECT_TRUE(EchoesThrough(link(), 6, 0x77));
    std::vector<std::string> payloads = PayloadsSince(from);
    payloads.pop_back();
    return payloads;
  }

  TcpModuleRig rig_;
};

}  // namespace

TEST_F(LinkStore, ABlockGoesOutInChunksEachAnsweredWithItsSum) {
  std::vector<uint8_t> block = Pattern(60, 0x80);
  size_t from = device().PacketCount();
  ASSERT_EQ(link().loadStoreSlot(6, 1, 2, block.data(), block.size()), aErrNone);
  std::vector<std::string> sent = SentSince(from);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0], "04 04 01 02");
  std::string handle = sent[1].substr(6, 2);
  EXPECT_EQ(sent[1], "04 07 " + handle + " " + HexText(std::vector<uint8_t>(block.begin(), block.begin() + 25)));
  EXPECT_EQ(sent[2], "04 07 " + handle + " " + HexText(std::vector<uint8_t>(block.begin() + 25, block.begin() + 50)));
  EXPECT_EQ(sent[3], "04 07 " + handle + " " + HexText(std::vector<uint8_t>(block.begin() + 50, block.end())));
  EXPECT_EQ(sent[4], "04 08 " + handle);
  std::vector<uint8_t> sums;
  for (const SimNetwork::Sent& reply : network().SentReplies()) {
    if (reply.payload.size() == 4 && reply.payload[0] == 4 && reply.payload[1] == 7) sums.push_back(reply.payload[3]);
  }
  EXPECT_EQ(sums, (std::vector<uint8_t>{Sum(block, 0, 25), Sum(block, 25, 25), Sum(block, 50, 10)}));
  EXPECT_EQ(network().SlotContents(6, 1, 2), block);
  EXPECT_EQ(network().OpenSlots(6), 0u);

  std::vector<uint8_t> back(100, 0);
  size_t count = 0;
  ASSERT_EQ(link().unloadStoreSlot(6, 1, 2, back.data(), back.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  back.resize(count);
  EXPECT_EQ(back, block);

  from = device().PacketCount();
  ASSERT_EQ(link().loadStoreSlot(6, 1, 2, block.data(), 0), aErrNone);
  std::vector<std::string> empty = SentSince(from);
  ASSERT_EQ(empty.size(), 2u) << "an empty block opens and closes the slot";
  EXPECT_EQ(empty[0], "04 04 01 02");
  EXPECT_EQ(empty[1].substr(0, 5), "04 08");
  EXPECT_EQ(network().OpenSlots(6), 0u);
}

TEST_F(LinkStore, AReadIntoASmallerBufferDeliversWhatFits) {
  network().SetSlotTiming(6, 0, 7);
  std::vector<uint8_t> buffer(16, 0);
  size_t count = 0;
  EXPECT_EQ(link().unloadStoreSlot(6, 1, 2, buffer.data(), buffer.size(), &count), aErrOverrun);
  EXPECT_EQ(count, 16u);
  std::vector<uint8_t> expected = Pattern(40, 0x10);
  expected.resize(16);
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(network().OpenSlots(6), 0u);

  size_t capacity = 0, size = 0;
  EXPECT_EQ(link().storeSlotCapacity(6, 1, 2, &capacity), aErrNone);
  EXPECT_EQ(capacity, 100u);
  EXPECT_EQ(link().storeSlotSize(6, 1, 2, &size), aErrNone);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(link().storeSlotSize(6, 1, 9, &size), aErrNotFound) << "the device's error";
}

TEST_F(LinkStore, FaultsEndInAnErrorAndEveryOpenedSlotIsClosed) {
  std::vector<uint8_t> block = Pattern(60, 0x80);
  std::vector<uint8_t> tooLong = Pattern(101, 0);
  std::vector<uint8_t> buffer(64, 0);
  size_t count = 99;
  struct Row {
    const char* what;
    std::vector<uint8_t> prefix;
    SimFault fault;
    bool every;
    std::function<aErr()> call;
    aErr result;
  };
  auto load = [&] { return link().loadStoreSlot(6, 1, 2, block.data(), block.size()); };
  auto unload = [&] { return link().unloadStoreSlot(6, 1, 2, buffer.data(), buffer.size(), &count); };
  const Row rows[] = {
      {"a wrong sum", {4, 7}, SimFault::WrongSum(), false, load, aErrIO},
      // Every write reply one byte longer: good ones pass unchecked, the error one is an error.
      {"a write error of 5 bytes", {4, 7}, SimFault::Length(5), true,
       [&] { return link().loadStoreSlot(6, 1, 2, tooLong.data(), tooLong.size()); }, aErrOverrun},
      {"no write reply", {4, 7}, SimFault::NoReply(), false, load, aErrTimeout},
      {"no close reply", {4, 8}, SimFault::NoReply(), false, load, aErrTimeout},
      {"a close reply of 5 bytes", {4, 8}, SimFault::Length(5), false, load, aErrIO},
      {"no read reply", {4, 6}, SimFault::NoReply(), false, unload, aErrTimeout},
      // An error reply is never a success, whatever its code byte says.
      {"a write error with code 0", {4, 7}, SimFault::ErrorReply(0), false, load, aErrUnknown},
      {"a read error with code 0", {4, 6}, SimFault::ErrorReply(0), true, unload, aErrUnknown},
      {"a close error with code 0", {4, 8}, SimFault::ErrorReply(0), false, load, aErrUnknown},
  };
  for (const Row& row : rows) {
    network().SetSlot(6, 1, 2, 100, Pattern(40, 0x10));
    network().AddFault(row.prefix, row.fault, row.every);
    size_t opens = network().SlotOpens(6);
    EXPECT_EQ(row.call(), row.result) << row.what;
    network().ClearFaults();
    EXPECT_EQ(network().SlotOpens(6), opens + 1) << row.what;
    EXPECT_EQ(network().OpenSlots(6), 0u) << row.what << ": closed";
  }
  EXPECT_EQ(count, 99u);
}

TEST_F(LinkStore, AnOpenWithoutAHandleSendsNothingMore) {
  std::vector<uint8_t> block = Pattern(10, 1);
  std::vector<uint8_t> buffer(64, 0);
  size_t count = 99;
  struct Row {
    uint8_t mode;
    std::function<aErr()> call;
  };
  const Row rows[] = {
      {4, [&] { return link().loadStoreSlot(6, 1, 2, block.data(), block.size()); }},
      {3, [&] { return link().unloadStoreSlot(6, 1, 2, buffer.data(), buffer.size(), &count); }},
  };
  for (const Row& row : rows) {
    network().AddFault({4, row.mode}, SimFault::OpenWithoutHandle());
    size_t from = device().PacketCount();
    EXPECT_EQ(row.call(), aErrMedia) << int(row.mode);
    std::vector<std::string> sent = SentSince(from);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "04 0" + std::to_string(row.mode) + " 01 02") << "handle 255 never reaches the wire";
  }
  EXPECT_EQ(count, 99u);
}

TEST_F(LinkStore, CapacityAndSizeReplies) {
  struct Row {
    const char* what;
    uint8_t operation;
    std::optional<SimFault> fault;
    uint8_t slot;
    aErr result;
    size_t value;
  };
  const Row rows[] = {
      {"capacity", 1, {}, 2, aErrNone, 100},
      {"size", 2, {}, 2, aErrNone, 40},
      {"capacity of a missing slot", 1, {}, 9, aErrNotFound, 7},
      {"size, error without its code", 2, SimFault::ErrorWithoutCode(), 2, aErrUnknown, 7},
      {"capacity, a 5-byte reply", 1, SimFault::Length(5), 2, aErrUnknown, 7},
      {"capacity, no reply", 1, SimFault::NoReply(), 2, aErrTimeout, 7},
      {"size, no reply", 2, SimFault::NoReply(), 2, aErrTimeout, 7},
  };
  for (const Row& row : rows) {
    if (row.fault) {
      network().AddFault({4, row.operation}, *row.fault);
    }
    size_t value = 7;
    aErr result = row.operation == 1 ? link().storeSlotCapacity(6, 1, row.slot, &value)
                                     : link().storeSlotSize(6, 1, row.slot, &value);
    EXPECT_EQ(result, row.result) << row.what;
    EXPECT_EQ(value, row.value) << row.what;
  }
}

TEST_F(LinkStore, FactoryDataReadAndWritten) {
  std::vector<uint8_t> buffer(64, 0);
  size_t count = 0;
  size_t from = device().PacketCount();
  ASSERT_EQ(link().getFactoryData(6, 5, buffer.data(), 31, &count), aErrNone);
  EXPECT_EQ(SentSince(from), (std::vector<std::string>{"5E 45", "5E 05", "5E 20 00 1E"}));
  EXPECT_EQ(count, 30u);
  buffer.resize(count);
  EXPECT_EQ(buffer, Pattern(30, 0x40));

  buffer.assign(64, 0);
  count = 7;
  EXPECT_EQ(link().getFactoryData(6, 5, buffer.data(), 30, &count), aErrOverrun) << "the data must stay below the capacity";
  EXPECT_EQ(count, 7u);

  from = device().PacketCount();
  std::vector<uint8_t> written = Pattern(60, 0xA0);
  ASSERT_EQ(link().setFactoryData(6, 5, written.data(), written.size()), aErrNone);
  std::vector<std::string> sent = SentSince(from);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], "5E 55 " + HexText(std::vector<uint8_t>(written.begin(), written.begin() + 26)));
  EXPECT_EQ(sent[1], "5E 15 " + HexText(std::vector<uint8_t>(written.begin() + 26, written.begin() + 52)));
  EXPECT_EQ(sent[2], "5E 15 " + HexText(std::vector<uint8_t>(written.begin() + 52, written.end())));
  EXPECT_EQ(sent[3], "5E 20 00 3C");
  EXPECT_EQ(network().Factory(6, 5), written);

  from = device().PacketCount();
  ASSERT_EQ(link().setFactoryData(6, 5, written.data(), 0), aErrNone);
  EXPECT_EQ(SentSince(from), (std::vector<std::string>{"5E 20 00 00"}));
  EXPECT_EQ(network().Factory(6, 5), written);
}

TEST_F(LinkStore, FactoryErrorsAndRefusedKinds) {
  std::vector<uint8_t> buffer(64, 0);
  std::vector<uint8_t> written = Pattern(60, 0xA0);
  size_t count = 7;
  // A kind without a block: the device's error reply [5E, 80 + k, e].
  EXPECT_EQ(link().getFactoryData(6, 9, buffer.data(), buffer.size(), &count), aErrNotFound);
  network().AddFault({0x5E, 0x45}, SimFault::ErrorWithoutCode());
  EXPECT_EQ(link().getFactoryData(6, 5, buffer.data(), buffer.size(), &count), aErrUnknown);
  network().AddFault({0x5E, 0x20}, SimFault::ErrorWithoutCode());
  EXPECT_EQ(link().getFactoryData(6, 5, buffer.data(), buffer.size(), &count), aErrUnknown) << "end refused";
  network().AddFault({0x5E, 0x45}, SimFault::ErrorReply(0));
  EXPECT_EQ(link().getFactoryData(6, 5, buffer.data(), buffer.size(), &count), aErrUnknown) << "error code 0";
  EXPECT_EQ(count, 7u);

  // A write refused half way commits nothing.
  network().AddFault({0x5E, 0x15}, SimFault::ErrorWithoutCode());
  EXPECT_EQ(link().setFactoryData(6, 5, written.data(), written.size()), aErrUnknown);
  EXPECT_EQ(network().Factory(6, 5), Pattern(30, 0x40));
  network().AddFault({0x5E, 0x55}, SimFault::Length(3));
  EXPECT_EQ(link().setFactoryData(6, 5, written.data(), written.size()), aErrSize);
  EXPECT_EQ(network().Factory(6, 5), Pattern(30, 0x40));

  // Kinds above 15 run into the flag bits: kind 16 would read as a first write of kind 0.
  size_t from = device().PacketCount();
  EXPECT_EQ(link().getFactoryData(6, 16, buffer.data(), buffer.size(), &count), aErrParam);
  EXPECT_EQ(link().setFactoryData(6, 16, written.data(), written.size()), aErrParam);
  EXPECT_TRUE(SentSince(from).empty());
  EXPECT_EQ(network().Factory(6, 0), Pattern(8, 0x70));
}

TEST_F(LinkStore, RefusedArgumentsSendNothing) {
  std::vector<uint8_t> buffer(64, 0);
  size_t count = 0;
  size_t from = device().PacketCount();
  EXPECT_EQ(link().storeSlotCapacity(6, 1, 2, nullptr), aErrParam);
  EXPECT_EQ(link().storeSlotSize(6, 1, 2, nullptr), aErrParam);
  EXPECT_EQ(link().loadStoreSlot(6, 1, 2, nullptr, 10), aErrParam);
  EXPECT_EQ(link().unloadStoreSlot(6, 1, 2, nullptr, 10, &count), aErrParam);
  EXPECT_EQ(link().unloadStoreSlot(6, 1, 2, buffer.data(), 10, nullptr), aErrParam);
  EXPECT_EQ(link().getFactoryData(6, 5, nullptr, 10, &count), aErrParam);
  EXPECT_EQ(link().getFactoryData(6, 5, buffer.data(), 10, nullptr), aErrParam);
  EXPECT_EQ(link().setFactoryData(6, 5, nullptr, 10), aErrParam);
  EXPECT_EQ(link().storeSlotSize(7, 1, 2, &count), aErrPacket);
  EXPECT_EQ(link().loadStoreSlot(0, 1, 2, buffer.data(), 10), aErrPacket);
  EXPECT_EQ(link().getFactoryData(0xAD, 5, buffer.data(), 10, &count), aErrPacket);
  EXPECT_TRUE(SentSince(from).empty());
}
