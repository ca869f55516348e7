// Delimited records read through not-ready points must be exactly the records of a plain
// splitter: the first occurrence of the delimiter ends a record, a record is cut at the
// maximum size, and nothing is consumed beyond it. Input: byte 0 the maximum size (1 to 64),
// byte 1 the delimiter's length (1 to 4), the delimiter, 8 bytes of not-ready points (bit i % 64
// set: not-ready before stream byte i), then the stream's bytes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "PacketHelpers.h"
#include "ScriptedStreamKind.h"
#include "aStream.h"

#include "FuzzCheck.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> ReferenceRecords(const Bytes& input, size_t maxSize, const Bytes& delimiter) {
  std::vector<Bytes> records;
  auto at = input.begin();
  while (at != input.end()) {
    auto found = std::search(at, input.end(), delimiter.begin(), delimiter.end());
    size_t before = static_cast<size_t>(found - at);
    if (found != input.end() && before < maxSize) {
      records.emplace_back(at, found);
      at = found + static_cast<long>(delimiter.size());
    } else {
      size_t take = std::min(maxSize, static_cast<size_t>(input.end() - at));
      records.emplace_back(at, at + static_cast<long>(take));
      at += static_cast<long>(take);
    }
  }
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t maxSize = 1 + data[0] % 64;
  size_t delimiterLength = 1 + data[1] % 4;
  if (size < 2 + delimiterLength + 8) return 0;
  Bytes delimiter(data + 2, data + 2 + delimiterLength);
  uint64_t notReady = 0;
  for (size_t i = 0; i < 8; ++i) notReady |= uint64_t{data[2 + delimiterLength + i]} << (8 * i);
  Bytes input(data + 2 + delimiterLength + 8, data + size);

  ScriptedStreamKind kind;
  size_t pauses = 0;
  for (size_t i = 0; i < input.size(); ++i) {
    if (notReady >> (i % 64) & 1) {
      kind.NotReady();
      ++pauses;
    }
    kind.Byte(input[i]);
  }
  kind.EndWithEof();
  StreamPtr stream(kind.CreateStream());
  CHECK(stream != nullptr);

  std::vector<Bytes> records;
  size_t notReadySeen = 0;
  for (;;) {
    Bytes record(maxSize);
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream.get(), record.data(), &length, maxSize, delimiter.data(),
                                  delimiter.size());
    if (err == aErrNotReady) {
      CHECK(++notReadySeen <= pauses);  // each point answers once; the call is then repeated
      continue;
    }
    if (err == aErrEOF) {
      CHECK(length == 0);
      break;
    }
    CHECK(err == aErrNone);
    CHECK(length <= maxSize);
    record.resize(length);
    records.push_back(record);
    CHECK(records.size() <= input.size() + 1);
  }
  CHECK(records == ReferenceRecords(input, maxSize, delimiter));
  CHECK(stream->count == 0);
  CHECK(kind.pending() == 0);
  return 0;
}
