#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "PacketHelpers.h"
#include "aUEI.h"

namespace {
PacketPtr Make(const std::string& payload) {
  std::vector<uint8_t> bytes = HexBytes(payload);
  return PacketPtr(aPacket_CreateWithData(2, static_cast<uint8_t>(bytes.size()), bytes.data()));
}
}  // namespace

TEST(aUEI, BigEndianValues) {
  const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x12345678u);
  EXPECT_EQ(aUEI_RetrieveShort(bytes), 0x1234u);

  uint8_t stored[4] = {};
  aUEI_StoreInt(stored, 0xA1B2C3D4u);
  EXPECT_EQ(std::vector<uint8_t>(stored, stored + 4), HexBytes("A1 B2 C3 D4"));
  EXPECT_EQ(aUEI_RetrieveInt(stored), 0xA1B2C3D4u);
  aUEI_StoreShort(stored, 0xFEDC);
  EXPECT_EQ(aUEI_RetrieveShort(stored), 0xFEDCu);
  EXPECT_EQ(stored[0], 0xFE);

  uint32_t words[2];
  memcpy(words, HexBytes("00 00 01 02 80 00 00 01").data(), sizeof words);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x0102u);
  EXPECT_EQ(words[1], 0x80000001u);
}

TEST(aUEI, ByteTransferTrailer) {
  PacketPtr more = Make("05 4A 20 11 85");
  EXPECT_EQ(aUEI_getBytesContinue(more.get()), 1);
  EXPECT_EQ(aUEI_getBytesSequence(more.get()), 5);
  PacketPtr last = Make("05 4A 20 7F");
  EXPECT_EQ(aUEI_getBytesContinue(last.get()), 0);
  EXPECT_EQ(aUEI_getBytesSequence(last.get()), 0x7F);

  // A device may send an empty payload: there is no trailer to read.
  PacketPtr empty(aPacket_CreateWithData(2, 0, HexBytes("00").data()));
  EXPECT_EQ(aUEI_getBytesContinue(empty.get()), 0);
  EXPECT_EQ(aUEI_getBytesSequence(empty.get()), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(empty.get()));
  // Nor is there one behind a length that parsing refused and kept stored.
  PacketPtr refused(aPacket_Create());
  aPacket_AddByte(refused.get(), 2);
  ASSERT_EQ(aPacket_AddByte(refused.get(), 0xFF), aErrPacket);
  EXPECT_EQ(aUEI_getBytesContinue(refused.get()), 0);
  EXPECT_EQ(aUEI_getBytesSequence(refused.get()), 0);
  EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);

  std::vector<uint8_t> data(28, 0x81);
  for (uint8_t length : {26, 27, 28}) {
    PacketPtr packet(aPacket_CreateWithData(2, length, data.data()));
    EXPECT_EQ(aUEI_getBytesFullPacket(packet.get()), length >= 27) << int(length);
  }
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(aUEI, EntityCommands) {
  const std::set<int> notUEI = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (int cmd = 0; cmd < 256; ++cmd) {
    uint8_t payload[1] = {static_cast<uint8_t>(cmd)};
    PacketPtr packet(aPacket_CreateWithData(2, 1, payload));
    bool expectNot = notUEI.count(cmd) != 0;
    EXPECT_EQ(aUEI_isNotUEIPayload(packet.get()), expectNot) << cmd;
    EXPECT_EQ(aUEI_isUEIPayload(packet.get()), !expectNot) << cmd;
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEI, StreamPackets) {
  struct Row {
    const char* payload;
    bool stream;
  };
  const Row rows[] = {
      {"05 01 40 00 00", true},   // length 5, entity command, stream bit
      {"05 01 40 00", false},     // length 4
      {"05 81 40 00 00", false},  // option bit 7
      {"05 41 40 00 00", false},  // option bit 6
      {"05 01 00 00 00", false},  // no stream bit
      {"05 3F 5F 00 00", true},   // other bits of option and index do not matter
      {"05 01 80 00 00", false},  // index bit 7 alone
      {"5F 01 40 00 00", false},  // command 95 is not an entity command
      {"03 01 40 00 00 00 00", true},
  };
  for (const Row& row : rows) {
    PacketPtr packet = Make(row.payload);
    EXPECT_EQ(aUEI_isStreamPacket(packet.get()), row.stream) << row.payload;
  }
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}
