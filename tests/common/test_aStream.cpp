#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MemoryPipe.h"
#include "PacketHelpers.h"
#include "ScriptedStreamKind.h"
#include "aStream.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> Counting(size_t n, size_t from = 0) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>((from + i) * 7 + 1));
  return bytes;
}

// Reads n bytes that must all be there.
std::vector<uint8_t> ReadN(aStream* stream, size_t n) {
  std::vector<uint8_t> bytes(n);
  EXPECT_EQ(aStream_Read(stream, bytes.data(), n), aErrNone);
  return bytes;
}

struct Record {
  aErr code;
  std::string bytes;
  bool operator==(const Record& other) const { return code == other.code && bytes == other.bytes; }
};

void PrintTo(const Record& record, std::ostream* os) {
  *os << "{" << record.code << ", \"" << record.bytes << "\"}";
}

Record ReadRecord(aStream* stream, size_t maxSize, const std::string& delimiter) {
  std::vector<uint8_t> buffer(maxSize + 1, 0xEE);
  size_t length = 12345;
  aErr err =
      aStream_ReadRecord(stream, buffer.data(), &length, maxSize,
                         reinterpret_cast<const uint8_t*>(delimiter.data()), delimiter.size());
  if (err != aErrNone) {
    EXPECT_TRUE(length == 0 || err == aErrNotReady) << err;
    return {err, ""};
  }
  return {err, std::string(buffer.begin(), buffer.begin() + static_cast<long>(length))};
}

}  // namespace

TEST(aStream, ReadIsAllOrNothing) {
  ScriptedStreamKind kind;
  kind.Bytes({1, 2});
  StreamPtr stream(kind.CreateStream());
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(aStream_Read(stream.get(), out, 4), aErrNotReady);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{9, 9, 9, 9}));
  EXPECT_EQ(stream->count, 2u);

  kind.Bytes({3, 4, 5});
  EXPECT_EQ(aStream_Read(stream.get(), out, 4), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(ReadN(stream.get(), 1), std::vector<uint8_t>{5});
}

TEST(aStream, ReadEndsAndFailures) {
  ScriptedStreamKind kind;
  kind.Bytes({1, 2}).EndWithEof();
  StreamPtr stream(kind.CreateStream());
  uint8_t out[4] = {0, 0, 9, 9};
  EXPECT_EQ(aStream_Read(stream.get(), out, 4), aErrEOF);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 9, 9}));

  // Codes of the kind pass unchanged, and the bytes taken are dropped.
  ScriptedStreamKind failing;
  failing.Bytes({1}).Fail(aErrConnection).Bytes({2, 3});
  StreamPtr broken(failing.CreateStream());
  EXPECT_EQ(aStream_Read(broken.get(), out, 2), aErrConnection);
  EXPECT_EQ(ReadN(broken.get(), 2), (std::vector<uint8_t>{2, 3}));

  EXPECT_EQ(aStream_Read(broken.get(), nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Read(nullptr, out, 1), aErrParam);
  StreamPtr writeOnly(failing.CreateStream(false, true, true));
  EXPECT_EQ(aStream_Read(writeOnly.get(), out, 1), aErrMode);
}

TEST(aStream, WriteRouting) {
  struct Row {
    const char* name;
    bool put, write;
    size_t n;
    aErr result;
    std::vector<ScriptedStreamKind::Op> calls;
  };
  using K = ScriptedStreamKind;
  const Row rows[] = {
      {"one byte goes through put", true, true, 1, aErrNone, {K::kPut}},
      {"two bytes go through write", true, true, 2, aErrNone, {K::kWrite}},
      {"no write: a put per byte", true, false, 3, aErrNone, {K::kPut, K::kPut, K::kPut}},
      {"write only, one byte", false, true, 1, aErrMode, {}},
      {"write only, two bytes", false, true, 2, aErrNone, {K::kWrite}},
      {"neither", false, false, 2, aErrMode, {}},
      {"nothing to write", true, true, 0, aErrNone, {}},
  };
  const uint8_t data[3] = {0xA1, 0xA2, 0xA3};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedStreamKind kind;
    StreamPtr stream(kind.CreateStream(true, row.put, row.write));
    EXPECT_EQ(aStream_Write(stream.get(), data, row.n), row.result);
    std::vector<K::Op> ops;
    for (const K::Call& call : kind.calls()) ops.push_back(call.op);
    EXPECT_EQ(ops, row.calls);
    if (row.result == aErrNone) {
      EXPECT_EQ(kind.written(), std::vector<uint8_t>(data, data + row.n));
    }
  }
}

TEST(aStream, WriteStopsAtTheFirstFailingPut) {
  ScriptedStreamKind kind;
  kind.FailCall(ScriptedStreamKind::kPut, 2, aErrIO);
  StreamPtr stream(kind.CreateStream(true, true, false));
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(stream.get(), data, 3), aErrIO);
  EXPECT_EQ(kind.calls().size(), 2u);
  EXPECT_EQ(aStream_Write(stream.get(), nullptr, 3), aErrParam);
  EXPECT_EQ(aStream_Write(nullptr, data, 3), aErrParam);

  ScriptedStreamKind writer;
  writer.FailCall(ScriptedStreamKind::kWrite, 1, aErrTimeout);
  StreamPtr blocks(writer.CreateStream());
  EXPECT_EQ(aStream_Write(blocks.get(), data, 3), aErrTimeout);
}

TEST(aStream, RingGrowsByBlocksAndKeepsTheOrder) {
  ScriptedStreamKind kind;
  StreamPtr stream(kind.CreateStream());
  std::vector<uint8_t> scratch(2000);

  // 511 bytes fill the first block; the 512th grows it.
  kind.Bytes(Counting(511));
  ASSERT_EQ(aStream_Read(stream.get(), scratch.data(), 512), aErrNotReady);
  EXPECT_EQ(stream->size, 512u);
  EXPECT_EQ(stream->count, 511u);
  kind.Byte(Counting(512)[511]);
  ASSERT_EQ(aStream_Read(stream.get(), scratch.data(), 513), aErrNotReady);
  EXPECT_EQ(stream->size, 1024u);
  EXPECT_EQ(ReadN(stream.get(), 512), Counting(512));

  // Back to a fresh stream: 300 back, 300 taken, 400 back (wraps), then 600 (grows wrapped).
  ScriptedStreamKind wrapping;
  StreamPtr ring(wrapping.CreateStream());
  wrapping.Bytes(Counting(300));
  ASSERT_EQ(aStream_Read(ring.get(), scratch.data(), 301), aErrNotReady);
  EXPECT_EQ(ReadN(ring.get(), 300), Counting(300));
  wrapping.Bytes(Counting(400, 300));
  ASSERT_EQ(aStream_Read(ring.get(), scratch.data(), 401), aErrNotReady);
  EXPECT_EQ(ring->size, 512u);
  EXPECT_LT(ring->writeIndex, ring->readIndex);  // wrapped
  wrapping.Bytes(Counting(200, 700));
  ASSERT_EQ(aStream_Read(ring.get(), scratch.data(), 601), aErrNotReady);
  EXPECT_EQ(ring->size, 1024u);
  EXPECT_EQ(ring->count, 600u);
  EXPECT_EQ(ReadN(ring.get(), 600), Counting(600, 300));
}

TEST(aStream, DestroyRefusesABadCheckWord) {
  ScriptedStreamKind kind;
  aStream* stream = kind.CreateStream();
  aStream* handle = stream;
  stream->check = 0x1234;
  EXPECT_EQ(aStream_Destroy(&handle), aErrParam);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(kind.deleteCalls(), 0u);

  stream->check = aSTREAMCHECK;
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(kind.deleteCalls(), 1u);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST(aStream, ReadRecordSplits) {
  struct Row {
    const char* name;
    std::string input;
    size_t maxSize;
    std::string delimiter;
    std::vector<Record> records;  // read until EOF
  };
  // clang-format off
  const Row rows[] = {
      {"CR LF", "a\rb\r\n", 16, "\r\n", {{aErrNone, "a\rb"}, {aErrEOF, ""}}},
      {"a real search", "aaab", 16, "aab", {{aErrNone, "a"}, {aErrEOF, ""}}},
      {"overlapping back-off", "abababcab", 16, "ababc",
       {{aErrNone, "ab"}, {aErrNone, "ab"}, {aErrEOF, ""}}},
      {"partial match at the end", "X", 16, "XY", {{aErrNone, "X"}, {aErrEOF, ""}}},
      {"last record without delimiter", "a,bc", 16, ",",
       {{aErrNone, "a"}, {aErrNone, "bc"}, {aErrEOF, ""}}},
      {"empty records", ",,", 16, ",", {{aErrNone, ""}, {aErrNone, ""}, {aErrEOF, ""}}},
      {"maximum size", "abcdefg,", 3, ",",
       {{aErrNone, "abc"}, {aErrNone, "def"}, {aErrNone, "g"}, {aErrEOF, ""}}},
      {"maximum size before the delimiter", "abc,d", 3, ",",
       {{aErrNone, "abc"}, {aErrNone, ""}, {aErrNone, "d"}, {aErrEOF, ""}}},
      {"maximum size inside a partial match", "aXYZ", 2, "XYW",
       {{aErrNone, "aX"}, {aErrNone, "YZ"}, {aErrEOF, ""}}},
      {"maximum size at the end", "XYZ", 1, "XYW",
       {{aErrNone, "X"}, {aErrNone, "Y"}, {aErrNone, "Z"}, {aErrEOF, ""}}},
      {"empty stream", "", 4, ",", {{aErrEOF, ""}}},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedStreamKind kind;
    kind.Bytes(Bytes(row.input)).EndWithEof();
    StreamPtr stream(kind.CreateStream());
    std::vector<Record> records;
    for (size_t i = 0; i < row.records.size(); ++i)
      records.push_back(ReadRecord(stream.get(), row.maxSize, row.delimiter));
    EXPECT_EQ(records, row.records);
  }
}

TEST(aStream, ReadRecordGivesEverythingBackWhenNotReady) {
  ScriptedStreamKind kind;
  kind.Bytes(Bytes("ab\r")).NotReady().Bytes(Bytes("\ncd")).NotReady();
  StreamPtr stream(kind.CreateStream());
  EXPECT_EQ(ReadRecord(stream.get(), 16, "\r\n"), (Record{aErrNotReady, ""}));
  EXPECT_EQ(stream->count, 3u);  // a, b and the CR of the partial match
  EXPECT_EQ(ReadRecord(stream.get(), 16, "\r\n"), (Record{aErrNone, "ab"}));
  EXPECT_EQ(ReadRecord(stream.get(), 16, "\r\n"), (Record{aErrNotReady, ""}));
  kind.EndWithEof();
  EXPECT_EQ(ReadRecord(stream.get(), 16, "\r\n"), (Record{aErrNone, "cd"}));

  ScriptedStreamKind failing;
  failing.Bytes(Bytes("ab")).Fail(aErrIO).Bytes(Bytes("c,"));
  StreamPtr broken(failing.CreateStream());
  EXPECT_EQ(ReadRecord(broken.get(), 16, ","), (Record{aErrIO, ""}));
  EXPECT_EQ(ReadRecord(broken.get(), 16, ","), (Record{aErrNone, "c"}));
}

TEST(aStream, BytesBeyondAFullRecordGoBackInFront) {
  ScriptedStreamKind kind;
  kind.Bytes(Bytes("abXcd")).NotReady();
  StreamPtr stream(kind.CreateStream());
  std::vector<uint8_t> scratch(8);
  // Park all five bytes in the ring first, so that something waits behind the record.
  ASSERT_EQ(aStream_Read(stream.get(), scratch.data(), 6), aErrNotReady);
  // X starts a match that c breaks; X then completes the record, and c was taken beyond it.
  EXPECT_EQ(ReadRecord(stream.get(), 3, "XY"), (Record{aErrNone, "abX"}));
  EXPECT_EQ(ReadN(stream.get(), 2), Bytes("cd"));
}

TEST(aStream, RecordArguments) {
  ScriptedStreamKind kind;
  kind.Bytes(Bytes("a,b"));
  StreamPtr stream(kind.CreateStream());
  uint8_t buffer[8];
  size_t length = 0;
  const uint8_t comma = ',';
  EXPECT_EQ(aStream_ReadRecord(stream.get(), buffer, &length, 0, &comma, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream.get(), buffer, &length, 8, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream.get(), buffer, &length, 8, &comma, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream.get(), nullptr, &length, 8, &comma, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(nullptr, buffer, &length, 8, &comma, 1), aErrParam);
  char text[8];
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream.get(), text, 1, ","), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream.get(), text, 8, ""), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream.get(), text, 8, nullptr), aErrParam);
  EXPECT_EQ(kind.getCalls(), 0u);
  EXPECT_EQ(aStream_ReadRecord(stream.get(), buffer, nullptr, 8, &comma, 1), aErrNone);
  EXPECT_EQ(buffer[0], 'a');
}

TEST(aStream, CStrings) {
  ScriptedStreamKind kind;
  kind.Bytes(Bytes("abcdefghij")).Byte(0).Bytes(Bytes("ab")).EndWithEof();
  StreamPtr stream(kind.CreateStream());
  char text[8];
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "abcdefg");
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "hij");
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text),
            aErrNone);  // no zero byte at the end
  EXPECT_STREQ(text, "ab");
  text[0] = 'z';
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text), aErrEOF);
  EXPECT_EQ(text[0], 'z');

  ScriptedStreamKind out;
  StreamPtr sink(out.CreateStream());
  EXPECT_EQ(aStream_WriteCString(sink.get(), "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCString(sink.get(), ""), aErrNone);
  const uint8_t crlf[2] = {'\r', '\n'};
  EXPECT_EQ(aStream_WriteRecord(sink.get(), Bytes("rec").data(), 3, crlf, 2), aErrNone);
  EXPECT_EQ(out.written(), HexBytes("68 69 00 00 72 65 63 0D 0A"));
  EXPECT_EQ(aStream_WriteCString(sink.get(), nullptr), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(sink.get(), crlf, 2, crlf, 0), aErrParam);
  EXPECT_EQ(aStream_WriteCStringRecord(sink.get(), "x", nullptr), aErrParam);
}

TEST(aStream, CStringRecordLeavesItsZeroByteForTheNextRecord) {
  MemoryPipe pipe;
  aStream* a = pipe.stream(MemoryPipe::kA);
  aStream* b = pipe.stream(MemoryPipe::kB);
  ASSERT_EQ(aStream_WriteCStringRecord(a, "one", "\r\n"), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(a, "two", "\r\n"), aErrNone);
  char text[16];
  EXPECT_EQ(aStream_ReadCStringRecord(b, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_STREQ(text, "one");
  EXPECT_EQ(aStream_ReadCStringRecord(b, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_EQ(std::string(text, 5), std::string("\0two\0", 5));
  EXPECT_EQ(aStream_ReadCStringRecord(b, text, sizeof text, "\r\n"), aErrNotReady);
  EXPECT_EQ(pipe.Pending(MemoryPipe::kB), 0u);
  EXPECT_EQ(b->count, 1u);  // the last zero byte, given back
}

TEST(aStream, FlushCopiesTheKindsBytes) {
  ScriptedStreamKind source;
  source.Bytes({1}).NotReady().Bytes({3}).NotReady();
  StreamPtr from(source.CreateStream());
  // A byte waiting in the source's ring is not part of the copy.
  uint8_t scratch[2];
  ASSERT_EQ(aStream_Read(from.get(), scratch, 2), aErrNotReady);
  ASSERT_EQ(from->count, 1u);
  ScriptedStreamKind sink;
  StreamPtr to(sink.CreateStream());
  EXPECT_EQ(aStream_Flush(from.get(), to.get()), aErrNotReady);
  source.Bytes({4, 5}).EndWithEof();
  EXPECT_EQ(aStream_Flush(from.get(), to.get()), aErrNone);
  EXPECT_EQ(sink.written(), (std::vector<uint8_t>{3, 4, 5}));
  EXPECT_EQ(from->count, 1u);

  ScriptedStreamKind more;
  more.Bytes({6, 7}).EndWithEof();
  StreamPtr again(more.CreateStream());
  ScriptedStreamKind refusing;
  refusing.FailCall(ScriptedStreamKind::kPut, 2, aErrWrite);
  StreamPtr refused(refusing.CreateStream());
  EXPECT_EQ(aStream_Flush(again.get(), refused.get()), aErrWrite);

  StreamPtr noPut(refusing.CreateStream(true, false, true));
  EXPECT_EQ(aStream_Flush(again.get(), noPut.get()), aErrMode);
  EXPECT_EQ(aStream_Flush(nullptr, noPut.get()), aErrParam);
}

namespace {
int gWaits = 0;
aErr sTimesOut(uint32_t, void*) {
  ++gWaits;
  return aErrTimeout;
}
}  // namespace

TEST(aStream, WaitReadable) {
  ScriptedStreamKind kind;
  StreamPtr stream(kind.CreateStream());
  // No wait procedure: nothing to wait with.
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 1000), aErrNone);
  ASSERT_EQ(aStream_SetWait(stream.get(), sTimesOut), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 5), aErrTimeout);
  EXPECT_EQ(gWaits, 1);
  // Bytes given back to the ring are readable whatever the kind says.
  kind.Bytes({1, 2}).NotReady();
  uint8_t bytes[3];
  ASSERT_EQ(aStream_Read(stream.get(), bytes, 3), aErrNotReady);
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 5), aErrNone);
  EXPECT_EQ(gWaits, 1);
  aStream bad{};
  EXPECT_EQ(aStream_SetWait(&bad, sTimesOut), aErrParam);
  EXPECT_EQ(aStream_WaitReadable(nullptr, 5), aErrParam);
}
