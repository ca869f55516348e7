// What Link and Module make of the packets that come back, without a link: match predicates,
// reply checks and the wait for a link to run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "LinkChecks.h"
#include "PacketHelpers.h"

using namespace Tavrin::Corvantis;

namespace {

// A packet whose bytes past the payload hold `stale`: a check that reads past the payload
// picks it up.
PacketPtr Reply(uint8_t address, const std::string& payload, uint8_t stale = 0) {
  std::vector<uint8_t> bytes = HexBytes(payload);
  static const uint8_t kNone = 0;
  PacketPtr packet(aPacket_CreateWithData(address, static_cast<uint8_t>(bytes.size()), bytes.empty() ? &kNone : bytes.data()));
  memset(packet->payload + bytes.size(), stale, sizeof packet->payload - bytes.size());
  return packet;
}

uei Record(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  uei record{};
  record.module = module;
  record.command = command;
  record.option = option;
  record.index = index;
  record.type = -1;  // untouched unless a reply sets it
  record.value.intVal = 0xDEADBEEF;
  return record;
}

}  // namespace

TEST(LinkChecks, UEIFilterMatchesAndDecodes) {
  struct Row {
    const char* what;
    uint8_t address;
    std::string payload;
    uint8_t option;  // the record's
    uint8_t stale;
    bool matches;
    int type;
    uint32_t value;  // as the record's union reads it back
    uint8_t index;
  };
  const uint32_t kUntouched = 0xDEADBEEF;
  const Row rows[] = {
      {"get, no value", 6, "03 09 00", 9, 0, true, ueiTypeNone, kUntouched, 0},
      {"get, 8 bits", 6, "03 09 00 AB", 9, 0, true, ueiTypeByte, 0xDEADBEAB, 0},
      {"get, 16 bits", 6, "03 09 00 12 34", 9, 0, true, ueiTypeShort, 0xDEAD1234, 0},
      {"get, 32 bits", 6, "03 09 00 12 34 56 78", 9, 0, true, ueiTypeInt, 0x12345678, 0},
      {"index byte with bit 5", 6, "03 09 20 AB", 9, 0, true, ueiTypeByte, 0xDEADBEAB, 0x00},
      {"set acknowledged", 6, "03 C9 00", 0xC9, 0, true, ueiTypeNone, kUntouched, 0},
      {"6 bytes: taken, unchanged", 6, "03 09 00 12 34 56", 9, 0, true, -1, kUntouched, 0},
      {"error reply", 6, "03 09 80 15", 9, 0, true, -1, 0xDEADBE15, 0x80},
      {"error reply without its code", 6, "03 09 80", 9, 0, true, -1, 0xDEADBE00 | aErrUnknown, 0x80},
      {"from another address", 8, "03 09 00 AB", 9, 0, false, -1, kUntouched, 0},
      {"another command", 6, "04 09 00 AB", 9, 0, false, -1, kUntouched, 0},
      {"option with access bits", 6, "03 49 00 AB", 9, 0, false, -1, kUntouched, 0},
      {"another index", 6, "03 09 01 AB", 9, 0, false, -1, kUntouched, 0},
      {"two bytes", 6, "03 09", 9, 0, false, -1, kUntouched, 0},
  };
  for (const Row& row : rows) {
    uei record = Record(6, 3, row.option, 0);
    PacketPtr packet = Reply(row.address, row.payload, row.stale);
    EXPECT_EQ(sUEIFilter(packet.get(), &record), row.matches ? 1 : 0) << row.what;
    EXPECT_EQ(record.type, row.type) << row.what;
    EXPECT_EQ(record.value.intVal, row.value) << row.what;
    EXPECT_EQ(record.index, row.index) << row.what;
  }
}

TEST(LinkChecks, CommandFilterComparesInsideThePayloadOnly) {
  struct Row {
    std::string payload;
    std::string match;
    uint8_t length;
    bool matches;
  };
  const Row rows[] = {
      {"49 FF 00 00 30 39", "49 FF", 2, true},
      {"49 01", "49", 1, true},
      {"17", "", 0, true},
      {"", "", 0, true},
      // The stale byte after the payload equals the match's: a shorter payload never matches.
      {"49", "49 00", 2, false},
      {"48 FF", "49", 1, false},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> match = HexBytes(row.match);
    match.resize(aPACKET_MAX_DATA + 1, 0);
    CommandMatch want{match.data(), row.length};
    PacketPtr packet = Reply(8, row.payload, 0);
    EXPECT_EQ(sCommandFilter(packet.get(), &want), row.matches ? 1 : 0) << row.payload << " / " << row.match;
  }
  // More bytes than a payload holds never match, even against a full one of zeros.
  CommandMatch tooLong{std::vector<uint8_t>(29, 0).data(), 29};
  std::vector<uint8_t> zeros(28, 0);
  PacketPtr full(aPacket_CreateWithData(8, 28, zeros.data()));
  EXPECT_EQ(sCommandFilter(full.get(), &tooLong), 0);
}

TEST(LinkChecks, SlotFilterAndReplies) {
  SlotRequest capacity{1, 2, 3, 0};
  SlotRequest read{6, 0, 0, 9};
  struct Match {
    const SlotRequest* request;
    std::string payload;
    bool matches;
  };
  const Match matches[] = {
      {&capacity, "04 01 02 03 00 40", true},  {&capacity, "04 81 02 03 11", true},
      {&capacity, "04 01 02 04 00 40", false}, {&capacity, "04 02 02 03 00 40", false},
      {&capacity, "04 01 02", false},          {&read, "04 06 09 AA", true},
      {&read, "04 86 09 12", true},            {&read, "04 06 08 AA", false},
  };
  for (const Match& row : matches) {
    PacketPtr packet = Reply(6, row.payload);
    EXPECT_EQ(sSlotFilter(packet.get(), row.request), row.matches ? 1 : 0) << row.payload;
  }

  size_t value = 7;
  EXPECT_EQ(sSlotValueReply(Reply(6, "04 01 02 03 01 2C").get(), &value), aErrNone);
  EXPECT_EQ(value, 300u);
  value = 7;
  EXPECT_EQ(sSlotValueReply(Reply(6, "04 81 02 03 11").get(), &value), aErrConfiguration);
  EXPECT_EQ(sSlotValueReply(Reply(6, "04 81 02 03").get(), &value), aErrUnknown) << "no code byte";
  EXPECT_EQ(sSlotValueReply(Reply(6, "04 01 02 03 01").get(), &value), aErrUnknown);
  EXPECT_EQ(value, 7u);

  EXPECT_EQ(sSlotOpenReply(Reply(6, "04 03 02 03 05").get()), 5);
  EXPECT_EQ(sSlotOpenReply(Reply(6, "04 03 02 03", 5).get()), 255) << "no handle byte";
  EXPECT_EQ(sSlotOpenReply(Reply(6, "04 83 02 03 05").get()), 255);

  struct Write {
    std::string payload;
    aErr result;
  };
  const Write writes[] = {
      {"04 07 09 5A", aErrNone},
      {"04 07 09 5B", aErrIO},
      {"04 07 09 5B 00", aErrNone},       // another length: taken unchecked
      {"04 87 09 1F", aErrMedia},
      {"04 87 09 1F 00", aErrMedia},      // the error bit is an error whatever the length
  };
  for (const Write& row : writes) EXPECT_EQ(sSlotWriteReply(Reply(6, row.payload).get(), 0x5A), row.result) << row.payload;

  const uint8_t* data = nullptr;
  size_t size = 0;
  PacketPtr read2 = Reply(6, "04 06 09 AA BB");
  EXPECT_EQ(sSlotReadReply(read2.get(), &data, &size), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), HexBytes("AA BB"));
  EXPECT_EQ(sSlotReadReply(Reply(6, "04 06 09").get(), &data, &size), aErrUnknown);
  EXPECT_EQ(sSlotReadReply(Reply(6, "04 86 09 03").get(), &data, &size), aErrNotFound);
  EXPECT_EQ(sSlotReadReply(Reply(6, "04 86 09 00").get(), &data, &size), aErrUnknown) << "an error is never success";

  EXPECT_EQ(sSlotCloseReply(Reply(6, "04 08 09 00").get()), aErrNone);
  EXPECT_EQ(sSlotCloseReply(Reply(6, "04 88 09 1F").get()), aErrMedia);
  EXPECT_EQ(sSlotCloseReply(Reply(6, "04 08 09 00 00").get()), aErrIO);
}

TEST(LinkChecks, FactoryFilterAndReplies) {
  const uint8_t firstRead = 0x45, end = 0x20;
  struct Match {
    uint8_t code;
    std::string payload;
    bool matches;
  };
  const Match matches[] = {
      {firstRead, "5E 05 11", true}, {firstRead, "5E 85 12", true}, {firstRead, "5E 06 11", false},
      {firstRead, "5E", false},      {end, "5E 00", true},          {end, "5E 80 12", true},
      {end, "49 00", false},
  };
  for (const Match& row : matches) {
    PacketPtr packet = Reply(6, row.payload);
    EXPECT_EQ(sFactoryFilter(packet.get(), &row.code), row.matches ? 1 : 0) << row.payload;
  }

  const uint8_t* data = nullptr;
  size_t size = 0;
  PacketPtr read2 = Reply(6, "5E 05 AA BB");
  EXPECT_EQ(sFactoryReadReply(read2.get(), 10, 13, &data, &size), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), HexBytes("AA BB"));
  EXPECT_EQ(sFactoryReadReply(Reply(6, "5E 05 AA BB").get(), 10, 12, &data, &size), aErrOverrun)
      << "the data must stay below the capacity";
  EXPECT_EQ(sFactoryReadReply(Reply(6, "5E 85 0E").get(), 0, 100, &data, &size), aErrSize);
  EXPECT_EQ(sFactoryReadReply(Reply(6, "5E 85").get(), 0, 100, &data, &size), aErrUnknown) << "no code byte";

  EXPECT_EQ(sFactoryWriteReply(Reply(6, "5E 05").get()), aErrNone);
  EXPECT_EQ(sFactoryWriteReply(Reply(6, "5E 05 00").get()), aErrSize);
  EXPECT_EQ(sFactoryWriteReply(Reply(6, "5E 85 1F").get()), aErrMedia);
  EXPECT_EQ(sFactoryWriteReply(Reply(6, "5E 85").get()), aErrUnknown);

  EXPECT_EQ(sFactoryEndReply(Reply(6, "5E 00").get()), aErrNone);
  EXPECT_EQ(sFactoryEndReply(Reply(6, "5E 80 1F").get()), aErrMedia);
  EXPECT_EQ(sFactoryEndReply(Reply(6, "5E 80").get()), aErrUnknown) << "no code byte: not a success";
  EXPECT_EQ(sFactoryEndReply(Reply(6, "5E 80 1F 00").get()), aErrMedia);
  EXPECT_EQ(sFactoryEndReply(Reply(6, "5E 80 00").get()), aErrUnknown) << "an error is never success";
  EXPECT_EQ(sFactoryReadReply(Reply(6, "5E 85 00").get(), 0, 100, &data, &size), aErrUnknown);
}

TEST(LinkChecks, ModuleQueryReplies) {
  uint32_t build = 0;
  std::vector<uint8_t> good = HexBytes("49 FF 00 00 30 39");
  EXPECT_EQ(sBuildReply(good.data(), 6, &build), aErrNone);
  EXPECT_EQ(build, 12345u);
  EXPECT_EQ(sBuildReply(good.data(), 5, &build), aErrSize);
  std::vector<uint8_t> other = HexBytes("49 01 00 00 30 39");
  EXPECT_EQ(sBuildReply(other.data(), 6, &build), aErrSize);

  std::vector<uint8_t> hasUEI = HexBytes("49 01 03 09 00 40");
  uint8_t result = 0xFF;
  std::vector<uint8_t> answer = HexBytes("49 01 03 09 00 0C");
  EXPECT_EQ(sQueryReply(hasUEI.data(), 5, answer.data(), 6, &result), aErrNone);
  EXPECT_EQ(result, aErrPermission);
  std::vector<uint8_t> withFlags = HexBytes("49 01 03 09 00 40 00");
  EXPECT_EQ(sQueryReply(hasUEI.data(), 5, withFlags.data(), 7, &result), aErrUnknown);

  std::vector<uint8_t> request = HexBytes("49 05 03 01");
  uint8_t value = 0;
  std::vector<uint8_t> reply = HexBytes("49 05 03 01 07");
  EXPECT_EQ(sQueryReply(request.data(), 4, reply.data(), 5, &value), aErrNone);
  EXPECT_EQ(value, 7);
  value = 0;
  std::vector<uint8_t> anotherQuery = HexBytes("49 04 03 01 07");
  EXPECT_EQ(sQueryReply(request.data(), 4, anotherQuery.data(), 5, &value), aErrUnknown);
  EXPECT_EQ(sQueryReply(request.data(), 4, reply.data(), 4, &value), aErrUnknown);
  EXPECT_EQ(value, 0);

  std::vector<uint8_t> data = HexBytes("01 02 03");
  std::vector<uint8_t> echo = HexBytes("17 01 02 03");
  EXPECT_EQ(sEchoReply(data.data(), 3, echo.data(), 4), aErrNone);
  EXPECT_EQ(sEchoReply(data.data(), 3, echo.data(), 3), aErrIO);
  echo[3] = 0x04;
  EXPECT_EQ(sEchoReply(data.data(), 3, echo.data(), 4), aErrIO);
  std::vector<uint8_t> empty = HexBytes("17");
  EXPECT_EQ(sEchoReply(nullptr, 0, empty.data(), 1), aErrNone);
}

TEST(LinkChecks, WaitForRunningByFirstStatus) {
  struct Row {
    std::vector<int> statuses;  // read in turn; the last one for ever after
    uint16_t tries;
    aErr result;
    int pauses;
  };
  const Row rows[] = {
      {{2}, 200, aErrNone, 0},
      {{1, 1, 1, 2}, 200, aErrNone, 3},
      {{0, 4, 2}, 200, aErrNone, 2},
      {{1}, 200, aErrConnection, 200},
      {{4, 6}, 200, aErrConnection, 200},  // a later status other than 2 keeps the poll going
      {{1}, 0, aErrConnection, 0},
      {{3, 2}, 200, aErrBusy, 0},
      {{5, 2}, 200, aErrConnection, 0},
      {{6, 2}, 200, aErrConnection, 0},
      {{8, 2}, 200, aErrConnection, 0},
      {{7, 2}, 200, aErrDuplicate, 0},
      {{-1, 2}, 200, aErrDuplicate, 0},
  };
  for (const Row& row : rows) {
    size_t reads = 0;
    int pauses = 0;
    auto status = [&] { return row.statuses[std::min(reads++, row.statuses.size() - 1)]; };
    EXPECT_EQ(sWaitForRunning(status, [&] { ++pauses; }, row.tries), row.result) << "first " << row.statuses[0];
    EXPECT_EQ(pauses, row.pauses) << "first " << row.statuses[0];
  }
}
