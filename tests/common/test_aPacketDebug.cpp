// The packet log's ring of records.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "aPacketDebug.h"

namespace {

struct LogDestroyer {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDestroyer>;

struct Record {
  int kind;
  std::vector<uint8_t> data;
  bool operator==(const Record&) const = default;
};

aErr Put(aPacketLog* log, const Record& record) {
  static const uint8_t none = 0;
  return aPacketLog_Put(log, static_cast<uint8_t>(record.kind), static_cast<uint32_t>(record.data.size()),
                        record.data.empty() ? &none : record.data.data());
}

// The oldest record; kind -1 when the ring gave anything but aErrNone.
Record Get(aPacketLog* log, aErr* result = nullptr) {
  Record record{-1, std::vector<uint8_t>(256)};
  uint32_t length = static_cast<uint32_t>(record.data.size());
  int kind = 0;
  aErr err = aPacketLog_Get(log, &kind, &length, record.data.data());
  if (result != nullptr) *result = err;
  if (err != aErrNone) return {-1, {}};
  record.kind = kind;
  record.data.resize(length);
  return record;
}

Record Bytes(int kind, size_t n, uint8_t seed) {
  Record record{kind, {}};
  for (size_t i = 0; i < n; ++i) record.data.push_back(static_cast<uint8_t>(seed + i * 13));
  return record;
}

}  // namespace

TEST(PacketLog, SmallRingLimits) {
  LogPtr log(aPacketLog_Create(32));
  ASSERT_NE(log, nullptr);
  aErr err;
  Get(log.get(), &err);
  EXPECT_EQ(err, aErrNotFound);

  // 30 + 2 >= 32: refused, and nothing evicted.
  ASSERT_EQ(Put(log.get(), Bytes(3, 0, 0)), aErrNone);
  EXPECT_EQ(Put(log.get(), Bytes(1, 30, 1)), aErrOverrun);
  EXPECT_EQ(Get(log.get()), Bytes(3, 0, 0));  // a 0-length text record
  // 29 fits only in an empty ring: it evicts whatever is there.
  ASSERT_EQ(Put(log.get(), Bytes(2, 2, 5)), aErrNone);
  ASSERT_EQ(Put(log.get(), Bytes(1, 29, 7)), aErrNone);
  EXPECT_EQ(Get(log.get()), Bytes(1, 29, 7));
  Get(log.get(), &err);
  EXPECT_EQ(err, aErrNotFound);
}

TEST(PacketLog, DefaultRingHolds2047PacketRecords) {
  LogPtr log(aPacketLog_Create(0x10000));
  for (int i = 0; i < 2047; ++i) ASSERT_EQ(Put(log.get(), Bytes(2, 30, static_cast<uint8_t>(i))), aErrNone);
  EXPECT_EQ(Get(log.get()), Bytes(2, 30, 0));
  ASSERT_EQ(Put(log.get(), Bytes(2, 30, 0xA0)), aErrNone);
  ASSERT_EQ(Put(log.get(), Bytes(2, 30, 0xA1)), aErrNone);  // the 2048th held: evicts record 1
  EXPECT_EQ(Get(log.get()), Bytes(2, 30, 2));
}

TEST(PacketLog, RefusedArgumentsStoreNothing) {
  LogPtr log(aPacketLog_Create(1024));
  uint8_t data[300] = {};
  EXPECT_EQ(aPacketLog_Put(log.get(), 3, 256, data), aErrParam);  // beyond its length byte
  EXPECT_EQ(aPacketLog_Put(log.get(), 3, 1, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(nullptr, 3, 1, data), aErrParam);
  ASSERT_EQ(aPacketLog_Put(log.get(), 9, 255, data), aErrNone);  // other kinds are kept

  int kind = 0;
  uint32_t length = 10;
  EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &length, data), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &kind, nullptr, data), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &kind, &length, nullptr), aErrParam);
  // A small buffer learns the length it needs; the record stays.
  EXPECT_EQ(aPacketLog_Get(log.get(), &kind, &length, data), aErrOverrun);
  EXPECT_EQ(length, 255u);
  EXPECT_EQ(kind, 9);
  EXPECT_EQ(Get(log.get()), (Record{9, std::vector<uint8_t>(255, 0)}));

  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
}

// Mixed lengths through a 40-byte ring, checked byte for byte against a model, until the kind
// byte, the length byte and the data have each straddled the end of the buffer.
TEST(PacketLog, RecordsWrapAroundTheEnd) {
  constexpr uint32_t kSize = 40;
  LogPtr log(aPacketLog_Create(kSize));
  std::deque<Record> model;
  std::mt19937 random(6);
  bool kindAtEnd = false, lengthAtEnd = false, dataAcross = false;
  for (int step = 0; step < 400 && !(kindAtEnd && lengthAtEnd && dataAcross); ++step) {
    uint32_t used = (log->writeIndex + kSize - log->readIndex) % kSize;
    size_t n = random() % 20;
    if (used + n + 2 < kSize && random() % 3 != 0) {
      uint32_t w = log->writeIndex;
      kindAtEnd |= w == kSize - 1;
      lengthAtEnd |= w == kSize - 2;
      dataAcross |= w + 2 < kSize && w + 2 + n > kSize;
      Record record = Bytes(1 + static_cast<int>(step % 3), n, static_cast<uint8_t>(step));
      ASSERT_EQ(Put(log.get(), record), aErrNone);
      model.push_back(record);
    } else if (!model.empty()) {
      ASSERT_EQ(Get(log.get()), model.front()) << "step " << step;
      model.pop_front();
    }
  }
  EXPECT_TRUE(kindAtEnd && lengthAtEnd && dataAcross);
  while (!model.empty()) {
    EXPECT_EQ(Get(log.get()), model.front());
    model.pop_front();
  }
}
