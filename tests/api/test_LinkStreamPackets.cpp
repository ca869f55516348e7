// Stream keys, sample packets and the inbound stream filter's decisions, without a link.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "PacketHelpers.h"
#include "StreamTable.h"

using namespace Tavrin::Corvantis;

namespace {

PacketPtr FromWire(const std::vector<uint8_t>& wire) {
  return PacketPtr(aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2));
}

PacketPtr Sample(const SampleFields& fields, uint8_t address = 2) { return FromWire(StreamSampleBytes(address, fields)); }

uint64_t Key(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return Link::createStreamKey(module, command, option, index, subindex);
}

StreamEntry Registration(uint64_t key) {
  StreamEntry entry;
  entry.key = key;
  entry.callback = [](const aPacket*, void*) -> uint8_t { return 0; };
  return entry;
}

}  // namespace

TEST(StreamKeys, ElementsMasksAndTimestamps) {
  uint64_t key = Key(0x02, 0x03, 0x05, 0x01, 0x07);
  EXPECT_EQ(key, 0x0702030501ull);
  const uint8_t elements[] = {0x02, 0x03, 0x05, 0x01, 0x07, 0, 0};
  for (uint8_t e = 0; e < sizeof elements; ++e) EXPECT_EQ(Link::getStreamKeyElement(key, e), elements[e]) << int(e);
  EXPECT_EQ(Link::getStreamKeyElement(key, 255), 0);

  struct Row {
    uint8_t i;
    uint64_t mask;
  };
  const Row masks[] = {{0, 0xFFull},           {1, 0xFF00ull},           {2, 0xFFFFull},
                       {6, 0xFFFFFFull},       {7, 0xFF00000000ull},     {9, 0xFF0000FF00ull},
                       {14, 0xFF00FFFFFFull},  {15, 0},                  {255, 0}};
  for (const Row& row : masks) EXPECT_EQ(Link::_getGenericStreamKeyMask(row.i), row.mask) << int(row.i);
  // The module byte is never a wildcard.
  for (uint8_t i = 0; i < 15; ++i) EXPECT_EQ(Link::_getGenericStreamKeyMask(i) & 0xFF000000ull, 0u);

  uint32_t high = 0, low = 0;
  Link::getTimestampParts(0x0102030405060708ull, &high, &low);
  EXPECT_EQ(high, 0x01020304u);
  EXPECT_EQ(low, 0x05060708u);
  Link::getTimestampParts(0x0102030405060708ull, nullptr, &low);
  Link::getTimestampParts(0x0102030405060708ull, &high, nullptr);
}

TEST(StreamPackets, KindsAndDecoding) {
  struct Row {
    const char* what;
    std::vector<uint8_t> wire;
    bool recognised;
    Link::STREAM_PACKET kind;
    bool sample;
    aErr decoded;
    uint32_t value;
    uint8_t subindex;
  };
  const uint64_t ts = 0x1122334455667788ull;
  auto wire = [&](uint8_t kind, uint32_t value, uint8_t subindex = 0, int length = -1, uint8_t trailer = 0) {
    return StreamSampleBytes(2, {kind, 3, 5, 1, subindex, ts, value, trailer, length});
  };
  std::vector<uint8_t> getReply = wire(3, 1);
  getReply[3] = 0x45;  // the option byte with the get bit: a reply, not a sample
  std::vector<uint8_t> noStreamBit = wire(3, 1);
  noStreamBit[4] = 0x01;
  const Row rows[] = {
      {"8-bit", wire(1, 0xAB), true, Link::STREAM_PACKET_U8, true, aErrNone, 0xAB, 0},
      {"16-bit", wire(2, 0xABCD), true, Link::STREAM_PACKET_U16, true, aErrNone, 0xABCD, 0},
      {"32-bit", wire(3, 0xA1B2C3D4), true, Link::STREAM_PACKET_U32, true, aErrNone, 0xA1B2C3D4, 0},
      {"8-bit, subindex", wire(5, 0x5A, 9), true, Link::STREAM_PACKET_U8_SUBINDEX, true, aErrNone, 0x5A, 9},
      {"16-bit, subindex", wire(6, 0x5A5B, 10), true, Link::STREAM_PACKET_U16_SUBINDEX, true, aErrNone, 0x5A5B, 10},
      {"32-bit, subindex", wire(7, 0xFEDCBA98, 11), true, Link::STREAM_PACKET_U32_SUBINDEX, true, aErrNone,
       0xFEDCBA98, 11},
      {"byte sequence", wire(4, 1, 0, -1, 0x81), true, Link::STREAM_PACKET_BYTES, false, aErrSize, 0, 0},
      {"continue bit on a kind-1 packet", wire(1, 1, 0, -1, 0x80), true, Link::STREAM_PACKET_BYTES, false, aErrSize,
       0, 0},
      {"kind 0", wire(0, 1), false, Link::STREAM_PACKET_INVALID, false, aErrPacket, 0, 0},
      {"kind 8", wire(8, 1), false, Link::STREAM_PACKET_INVALID, false, aErrPacket, 0, 0},
      {"kind 1 of 13 bytes", wire(1, 1, 0, 13), true, Link::STREAM_PACKET_U8, false, aErrPacket, 0, 0},
      {"kind 3 of 18 bytes", wire(3, 1, 0, 18), true, Link::STREAM_PACKET_U32, false, aErrPacket, 0, 0},
      {"kind 7 of 17 bytes", wire(7, 1, 0, 17), true, Link::STREAM_PACKET_U32_SUBINDEX, false, aErrPacket, 0, 0},
      {"4 bytes", HexBytes("02 04 03 05 41 01"), false, Link::STREAM_PACKET_INVALID, false, aErrPacket, 0, 0},
      {"get reply", getReply, false, Link::STREAM_PACKET_INVALID, false, aErrPacket, 0, 0},
      {"no stream bit", noStreamBit, false, Link::STREAM_PACKET_INVALID, false, aErrPacket, 0, 0},
  };
  for (const Row& row : rows) {
    PacketPtr packet = FromWire(row.wire);
    ASSERT_NE(packet, nullptr) << row.what;
    Link::STREAM_PACKET kind = Link::STREAM_PACKET_U8;
    EXPECT_EQ(Link::getStreamPacketType(packet.get(), &kind), row.recognised) << row.what;
    EXPECT_EQ(kind, row.kind) << row.what;
    EXPECT_EQ(Link::isStreamSample(packet.get()), row.sample) << row.what;
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    EXPECT_EQ(Link::getStreamSample(packet.get(), &timestamp, &value, &subindex), row.decoded) << row.what;
    if (row.decoded == aErrNone) {
      EXPECT_EQ(timestamp, ts) << row.what;
      EXPECT_EQ(value, row.value) << row.what;
      EXPECT_EQ(subindex, row.subindex) << row.what;
      EXPECT_EQ(Link::getStreamSample(packet.get(), nullptr, nullptr, nullptr), aErrNone) << row.what;
    }
    StreamSampleInfo info;
    EXPECT_EQ(sStreamSampleInfo(packet.get(), &info), row.recognised) << row.what;
    if (row.recognised) {
      EXPECT_EQ(info.cacheable, row.decoded == aErrNone) << row.what;
    }
  }
  EXPECT_FALSE(Link::getStreamPacketType(nullptr, nullptr));
  EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), aErrPacket);
}

// The filter's decisions against a table: who gets a sample, what is cached.
TEST(StreamRouting, DeliveredOnceCachedOnlyUnderConcreteKeys) {
  struct Row {
    const char* what;
    std::vector<uint64_t> registrations;
    SampleFields sample;
    size_t delivered;                    // registrations the sample reaches, each once
    std::optional<uint64_t> cachedKey;  // the cache entry the sample leaves, if any
  };
  const uint64_t anyOption = Key(2, 3, 0xFF, 0, 0xFF);
  const uint64_t anyCommand = Key(2, 0xFF, 0xFF, 0xFF, 0xFF);
  const uint64_t option5 = Key(2, 3, 5, 0, 0xFF);
  const Row rows[] = {
      {"wildcard option", {anyOption}, {3, 3, 5, 0, 0, 0, 0x1234}, 1, Key(2, 3, 5, 0, 0)},
      {"wildcard and exact option", {anyOption, option5}, {3, 3, 5, 0, 0, 0, 0x1234}, 2, Key(2, 3, 5, 0, 0)},
      {"subindexed sample", {option5}, {7, 3, 5, 0, 4, 0, 0x1234}, 1, Key(2, 3, 5, 0, 4)},
      {"not covered", {anyOption}, {3, 7, 5, 0, 0, 0, 0x1234}, 0, std::nullopt},
      {"another module", {anyOption}, {3, 3, 5, 0, 0, 0, 0x1234}, 0, std::nullopt},
      {"command 0xFF", {anyCommand}, {3, 0xFF, 5, 0, 0, 0, 0x1234}, 1, std::nullopt},
      {"subindex 0xFF, the registration's own key", {option5}, {5, 3, 5, 0, 0xFF, 0, 0x12}, 1, std::nullopt},
      {"wrong length", {anyOption}, {3, 3, 5, 0, 0, 0, 0x1234, 0, 16}, 1, std::nullopt},
      {"byte sequence", {anyOption}, {4, 3, 5, 0, 0, 0, 0x1234, 0x81}, 1, std::nullopt},
  };
  for (const Row& row : rows) {
    StreamMap streams;
    for (uint64_t key : row.registrations) streams.emplace(key, Registration(key));
    uint8_t address = std::string(row.what) == "another module" ? 4 : 2;
    PacketPtr packet = Sample(row.sample, address);
    StreamSampleInfo info;
    ASSERT_TRUE(sStreamSampleInfo(packet.get(), &info)) << row.what;
    const StreamEntry* targets[kMaxSampleTargets];
    size_t found = sRouteStreamSample(streams, info, targets);
    EXPECT_EQ(found, row.delivered) << row.what;
    for (size_t i = 0; i < found; ++i)
      for (size_t j = i + 1; j < found; ++j) EXPECT_NE(targets[i], targets[j]) << row.what;
    // Registrations keep their value; at most one cache entry appears.
    for (uint64_t key : row.registrations) {
      EXPECT_EQ(streams.at(key).value, 0u) << row.what;
      EXPECT_FALSE(streams.at(key).fresh) << row.what;
    }
    EXPECT_EQ(streams.size(), row.registrations.size() + (row.cachedKey ? 1 : 0)) << row.what;
    if (row.cachedKey) {
      ASSERT_EQ(streams.count(*row.cachedKey), 1u) << row.what;
      EXPECT_EQ(streams.at(*row.cachedKey).value, row.sample.value) << row.what;
      EXPECT_TRUE(streams.at(*row.cachedKey).fresh) << row.what;
      EXPECT_FALSE(streams.at(*row.cachedKey).callback) << row.what;
    }
  }
}

TEST(StreamRouting, ACachedValueFollowsEachSample) {
  StreamMap streams;
  uint64_t registration = Key(2, 3, 0xFF, 0, 0xFF);
  streams.emplace(registration, Registration(registration));
  const StreamEntry* targets[kMaxSampleTargets];
  for (uint32_t value : {7u, 8u}) {
    PacketPtr packet = Sample({1, 3, 9, 0, 0, 0, value});
    StreamSampleInfo info;
    ASSERT_TRUE(sStreamSampleInfo(packet.get(), &info));
    // The second sample finds its cache entry (no callback) and the registration.
    EXPECT_EQ(sRouteStreamSample(streams, info, targets), value == 7u ? 1u : 2u);
  }
  const StreamEntry& cached = streams.at(Key(2, 3, 9, 0, 0));
  EXPECT_EQ(cached.value, 8u);
  EXPECT_TRUE(cached.fresh);
}

// Tables holding keys that cover a subindexed sample among keys that nearly do (another module,
// subindex, option or index), small and large: each covering key is delivered once, the exact
// key first and then in mask order, and no other.
TEST(StreamRouting, EveryCoveringKeyInMaskOrder) {
  PacketPtr packet = Sample({7, 3, 5, 1, 4, 0, 0x1234});
  StreamSampleInfo info;
  ASSERT_TRUE(sStreamSampleInfo(packet.get(), &info));
  std::vector<uint64_t> covering{info.key};
  for (uint8_t i = 0; i < 15; ++i) covering.push_back(info.key | Link::_getGenericStreamKeyMask(i));
  const std::vector<uint64_t> near{Key(4, 3, 5, 1, 4), Key(4, 0xFF, 0xFF, 0xFF, 0xFF), Key(2, 3, 5, 1, 3),
                                   Key(2, 3, 6, 1, 0xFF), Key(2, 3, 5, 2, 4),        Key(2, 0xFF, 6, 0xFF, 0xFF)};
  struct Row {
    const char* what;
    std::vector<size_t> covers;  // indices into `covering`
    size_t nearKeys;             // the first of `near`
  } rows[] = {
      {"every covering key", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, near.size()},
      {"a small table without the exact key", {1, 6, 15}, 4},
      {"a larger one", {1, 6, 15}, near.size()},
  };
  for (const Row& row : rows) {
    StreamMap streams;
    for (size_t i : row.covers) streams.emplace(covering[i], Registration(covering[i]));
    for (size_t i = 0; i < row.nearKeys; ++i) streams.emplace(near[i], Registration(near[i]));
    const StreamEntry* targets[kMaxSampleTargets];
    size_t found = sRouteStreamSample(streams, info, targets);
    ASSERT_EQ(found, row.covers.size()) << row.what;
    for (size_t i = 0; i < found; ++i) EXPECT_EQ(targets[i]->key, covering[row.covers[i]]) << row.what << " " << i;
    // The sample is cached under its key: in the registration there, or in a new entry.
    EXPECT_EQ(streams.at(info.key).value, 0x1234u) << row.what;
    EXPECT_TRUE(streams.at(info.key).fresh) << row.what;
  }
}
