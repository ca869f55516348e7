// Arbitrary packets through the stream packet functions and the inbound stream filter's
// decisions. Input: address, length (taken modulo 29), that many payload bytes, then up to four
// registration keys of 5 bytes (module, command, option, index, subindex) for the table.
//
// Every check runs twice, with the bytes past the payload zero and all ones, and must decide
// the same: nothing is read outside the payload.
#include <cstdint>
#include <cstring>

#include "FuzzCheck.h"
#include "FuzzPacket.h"
#include "StreamTable.h"

using namespace Tavrin::Corvantis;

namespace {

struct Outcome {
  bool recognised = false;
  Link::STREAM_PACKET kind = Link::STREAM_PACKET_INVALID;
  bool sample = false;
  aErr decoded = aErrNone;
  uint64_t timestamp = 0;
  uint32_t value = 0;
  uint8_t subindex = 0;
  bool taken = false;
  StreamSampleInfo info;
  size_t targets = 0;
  size_t tableSize = 0;
  bool operator==(const Outcome& o) const {
    return recognised == o.recognised && kind == o.kind && sample == o.sample && decoded == o.decoded &&
           timestamp == o.timestamp && value == o.value && subindex == o.subindex && taken == o.taken &&
           info.key == o.info.key && info.cacheable == o.info.cacheable && info.value == o.info.value &&
           targets == o.targets && tableSize == o.tableSize;
  }
};

Outcome sRun(const aPacket& packet, const uint64_t* keys, size_t keyCount) {
  Outcome out;
  out.recognised = Link::getStreamPacketType(&packet, &out.kind);
  out.sample = Link::isStreamSample(&packet);
  out.decoded = Link::getStreamSample(&packet, &out.timestamp, &out.value, &out.subindex);
  CHECK(Link::getStreamSample(&packet, nullptr, nullptr, nullptr) == out.decoded);
  CHECK(out.recognised == (out.kind != Link::STREAM_PACKET_INVALID));
  CHECK(!out.sample || out.recognised);
  CHECK((out.decoded == aErrNone) == out.sample);
  CHECK(out.kind != Link::STREAM_PACKET_BYTES || out.decoded == aErrSize);
  CHECK(out.recognised == Link::isStreamPacket(&packet) || !out.recognised);

  out.taken = sStreamSampleInfo(&packet, &out.info);
  CHECK(out.taken == out.recognised);
  if (!out.taken) return out;
  CHECK(!out.info.cacheable || out.sample);
  if (out.info.cacheable) {
    for (uint8_t e = Link::STREAM_KEY_COMMAND; e <= Link::STREAM_KEY_SUBINDEX; ++e)
      CHECK(Link::getStreamKeyElement(out.info.key, e) != 0xFF);
    CHECK(out.info.value == out.value);
  }

  StreamMap streams;
  for (size_t i = 0; i < keyCount; ++i) {
    StreamEntry entry;
    entry.key = keys[i];
    streams.emplace(keys[i], entry);
  }
  size_t before = streams.size();
  const StreamEntry* targets[kMaxSampleTargets];
  out.targets = sRouteStreamSample(streams, out.info, targets);
  out.tableSize = streams.size();
  CHECK(out.targets <= kMaxSampleTargets);
  for (size_t i = 0; i < out.targets; ++i)
    for (size_t j = i + 1; j < out.targets; ++j) CHECK(targets[i] != targets[j]);
  CHECK(out.tableSize == before || (out.tableSize == before + 1 && out.info.cacheable));
  // Keys holding 0xFF never take a value.
  for (const auto& [key, entry] : streams) {
    bool wild = false;
    for (uint8_t e = Link::STREAM_KEY_COMMAND; e <= Link::STREAM_KEY_SUBINDEX; ++e)
      wild = wild || Link::getStreamKeyElement(key, e) == 0xFF;
    CHECK(!wild || (entry.value == 0 && !entry.fresh));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t address = data[0];
  uint8_t length = static_cast<uint8_t>(data[1] % (aPACKET_MAX_DATA + 1));
  if (size < 2u + length) return 0;
  const uint8_t* payload = data + 2;
  const uint8_t* rest = payload + length;
  size_t restSize = size - 2 - length;
  uint64_t keys[4];
  size_t keyCount = 0;
  for (; keyCount < 4 && restSize >= 5; ++keyCount, rest += 5, restSize -= 5)
    keys[keyCount] = Link::createStreamKey(rest[0], rest[1], rest[2], rest[3], rest[4]);

  Outcome zeros = sRun(FuzzPacket(address, payload, length, 0x00), keys, keyCount);
  Outcome ones = sRun(FuzzPacket(address, payload, length, 0xFF), keys, keyCount);
  CHECK(zeros == ones);
  return 0;
}
