#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "PacketHelpers.h"
#include "aPacket.h"

namespace {

std::vector<aErr> Codes(std::initializer_list<std::pair<aErr, size_t>> runs) {
  std::vector<aErr> codes;
  for (auto [code, times] : runs) codes.insert(codes.end(), times, code);
  return codes;
}

std::vector<uint8_t> Counting(uint8_t first, size_t n) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(first + i));
  return bytes;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Feed {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  size_t completeAfter;       // the only byte count after which the packet is complete; 0 none
  uint8_t count, address, length;
  std::vector<uint8_t> payload;  // the rest of the 28 bytes stay 0
};

}  // namespace

TEST(aPacket, FeedingByteByByte) {
  const std::vector<uint8_t> full = Counting(0x40, 28);
  const Feed feeds[] = {
      {"empty payload", HexBytes("02 00"), Codes({{aErrNone, 2}}), 2, 2, 2, 0, {}},
      {"past the length", HexBytes("04 03 10 20 30 40"), Codes({{aErrNone, 5}, {aErrPacket, 1}}), 5,
       6, 4, 3, HexBytes("10 20 30")},
      {"address 0", HexBytes("00"), Codes({{aErrPacket, 1}}), 0, 1, 0, 0, {}},
      {"length 29", HexBytes("06 1D"), Codes({{aErrNone, 1}, {aErrPacket, 1}}), 0, 2, 6, 29, {}},
      {"length 28", Cat(HexBytes("06 1C"), full), Codes({{aErrNone, 30}}), 30, 30, 6, 28, full},
      {"31 bytes", Cat(HexBytes("06 1C"), Counting(0x40, 29)),
       Codes({{aErrNone, 30}, {aErrOverrun, 1}}), 30, 31, 6, 28, full},
      {"300 bytes", Cat(HexBytes("06 1C"), Counting(0x40, 298)),
       Codes({{aErrNone, 30}, {aErrOverrun, 270}}), 30, 31, 6, 28, full},
      {"300 bytes after a length of 29", Cat(HexBytes("06 1D"), Counting(0x40, 298)),
       Codes({{aErrNone, 1}, {aErrPacket, 1}, {aErrNone, 28}, {aErrOverrun, 270}}), 0, 31, 6, 29,
       full},
  };
  for (const Feed& feed : feeds) {
    SCOPED_TRACE(feed.name);
    ASSERT_EQ(feed.bytes.size(), feed.results.size());
    PacketPtr packet(aPacket_Create());
    ASSERT_NE(packet, nullptr);
    for (size_t i = 0; i < feed.bytes.size(); ++i) {
      SCOPED_TRACE(i + 1);
      aPacket before = *packet;
      aErr err = aPacket_AddByte(packet.get(), feed.bytes[i]);
      ASSERT_EQ(err, feed.results[i]);
      EXPECT_EQ(aPacket_IsComplete(packet.get()), i + 1 == feed.completeAfter);
      if (err == aErrOverrun) {
        // An overfed record keeps its fields: nothing lands outside or inside the payload.
        EXPECT_EQ(memcmp(&before.address, &packet->address, 2 + aPACKET_MAX_DATA), 0);
        EXPECT_EQ(packet->count, 31);
      }
    }
    EXPECT_EQ(packet->count, feed.count);
    EXPECT_EQ(packet->address, feed.address);
    EXPECT_EQ(packet->length, feed.length);
    std::vector<uint8_t> payload = feed.payload;
    payload.resize(aPACKET_MAX_DATA, 0);
    EXPECT_EQ(std::vector<uint8_t>(packet->payload, packet->payload + aPACKET_MAX_DATA), payload);
  }
}

TEST(aPacket, ResetStartsAgain) {
  PacketPtr packet(aPacket_Create());
  for (uint8_t byte : HexBytes("04 03 10 20 30 40")) aPacket_AddByte(packet.get(), byte);
  ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
  EXPECT_EQ(packet->check, aPACKET_CHECK);
  EXPECT_EQ(packet->count, 0);
  for (uint8_t byte : HexBytes("02 01 07"))
    EXPECT_EQ(aPacket_AddByte(packet.get(), byte), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet.get()));
  EXPECT_EQ(WireBytes(packet.get()), HexBytes("02 01 07"));
}

TEST(aPacket, CreateWithData) {
  const std::vector<uint8_t> data = Counting(1, 29);
  PacketPtr empty(aPacket_CreateWithData(4, 0, data.data()));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(empty.get()));
  EXPECT_EQ(WireBytes(empty.get()), HexBytes("04 00"));

  PacketPtr full(aPacket_CreateWithData(0, 28, data.data()));  // address 0 is stored as given
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->count, 30);
  EXPECT_EQ(WireBytes(full.get()), Cat(HexBytes("00 1C"), Counting(1, 28)));

  EXPECT_EQ(aPacket_CreateWithData(4, 29, data.data()), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(4, 0, nullptr), nullptr);

  PacketPtr copy(aPacket_Copy(full.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.get(), full.get());
  EXPECT_EQ(WireBytes(copy.get()), WireBytes(full.get()));
}

TEST(aPacket, GetBytes) {
  const std::vector<uint8_t> data = Counting(1, 28);
  PacketPtr packet(aPacket_CreateWithData(8, 28, data.data()));
  uint8_t buffer[40];
  size_t count = 0;
  EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 29, &count), aErrOverrun);
  EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 30, &count), aErrNone);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 30, nullptr), aErrNone);
  EXPECT_EQ(aPacket_GetBytes(packet.get(), nullptr, 30, &count), aErrParam);
  EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, 30, &count), aErrParam);

  // A refused length byte stays stored; it must not size a copy out of the record.
  PacketPtr refused(aPacket_Create());
  aPacket_AddByte(refused.get(), 8);
  ASSERT_EQ(aPacket_AddByte(refused.get(), 29), aErrPacket);
  count = 99;
  EXPECT_EQ(aPacket_GetBytes(refused.get(), buffer, sizeof buffer, &count), aErrPacket);
  EXPECT_EQ(count, 99u);
  refused->length = 255;
  EXPECT_EQ(aPacket_GetBytes(refused.get(), buffer, sizeof buffer, &count), aErrPacket);
  EXPECT_EQ(aPacket_Copy(refused.get()), nullptr);
}

TEST(aPacket, FieldGetters) {
  PacketPtr packet(aPacket_CreateWithData(2, 3, HexBytes("05 C7 E3").data()));
  uint8_t value = 0;
  EXPECT_EQ(aPacket_GetCmd(packet.get(), &value), aErrNone);
  EXPECT_EQ(value, 0x05);
  EXPECT_EQ(aPacket_GetOption(packet.get(), &value), aErrNone);
  EXPECT_EQ(value, 0x07);
  EXPECT_EQ(aPacket_GetIndex(packet.get(), &value), aErrNone);
  EXPECT_EQ(value, 0x03);
  EXPECT_EQ(aPacket_GetCmd(packet.get(), nullptr), aErrParam);

  PacketPtr shorter(aPacket_CreateWithData(2, 2, HexBytes("05 C7").data()));
  EXPECT_EQ(aPacket_GetOption(shorter.get(), &value), aErrNone);
  EXPECT_EQ(aPacket_GetIndex(shorter.get(), &value), aErrPacket);
  PacketPtr empty(aPacket_CreateWithData(2, 0, &value));
  EXPECT_EQ(aPacket_GetCmd(empty.get(), &value), aErrPacket);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &value), aErrPacket);
}

TEST(aPacket, InvalidRecordsAndHandles) {
  aPacket forged = {0xBEEE, 0, 0, 0, {}};
  EXPECT_FALSE(aVALIDPACKET(&forged));
  EXPECT_EQ(aPacket_AddByte(&forged, 2), aErrParam);
  EXPECT_EQ(forged.count, 0);
  EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&forged));
  EXPECT_EQ(aPacket_Copy(&forged), nullptr);

  aPacket* handle = &forged;
  EXPECT_EQ(aPacket_Destroy(&handle), aErrParam);  // not freed: it was never a packet
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(aPacket_Destroy(&handle), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

  aPacket* packet = aPacket_Create();
  ASSERT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
}
