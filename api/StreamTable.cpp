// Stream keys, stream sample packets and the table decisions of the inbound stream filter.
#include "StreamTable.h"

#include "aUEI.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr int kMasks = 15;

// Payload length of a sample of each kind (1 to 7); kind 4 has none.
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};
// Value width of each kind.
constexpr uint8_t kValueWidth[8] = {0, 1, 2, 4, 0, 1, 2, 4};

uint8_t sTrailer(const aPacket* packet) { return packet->payload[packet->length - 1]; }

// The value of `width` bytes at `at`, big-endian.
uint32_t sBigEndian(const uint8_t* at, uint8_t width) {
  uint32_t value = 0;
  for (uint8_t i = 0; i < width; ++i) value = value << 8 | at[i];
  return value;
}

bool sHasWildcardByte(uint64_t key) {
  return Link::getStreamKeyElement(key, Link::STREAM_KEY_COMMAND) == kAny ||
         Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION) == kAny ||
         Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX) == kAny ||
         Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX) == kAny;
}

}  // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(module) << 24 |
         static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element) {
  switch (element) {
    case STREAM_KEY_MODULE:
      return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_COMMAND:
      return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION:
      return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX:
      return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX:
      return static_cast<uint8_t>(key >> 32);
    default:
      return 0;
  }
}

uint64_t Link::_getGenericStreamKeyMask(uint8_t i) {
  if (i >= kMasks) return 0;
  unsigned bits = i + 1u;
  uint64_t mask = 0;
  if (bits & 1) mask |= 0xFFull;
  if (bits & 2) mask |= 0xFFull << 8;
  if (bits & 4) mask |= 0xFFull << 16;
  if (bits & 8) mask |= 0xFFull << 32;
  return mask;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high != nullptr) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low != nullptr) *low = static_cast<uint32_t>(timestamp);
}

bool Link::isStreamPacket(const aPacket* packet) { return aVALIDPACKET(packet) && aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind) {
  STREAM_PACKET found = STREAM_PACKET_INVALID;
  if (isStreamPacket(packet)) {
    if (sTrailer(packet) != 0) {
      found = STREAM_PACKET_BYTES;
    } else if (packet->payload[3] >= STREAM_PACKET_U8 && packet->payload[3] <= STREAM_PACKET_U32_SUBINDEX) {
      found = static_cast<STREAM_PACKET>(packet->payload[3]);
    }
  }
  if (kind != nullptr) *kind = found;
  return found != STREAM_PACKET_INVALID;
}

bool Link::isSubindexType(STREAM_PACKET kind) {
  return kind >= STREAM_PACKET_U8_SUBINDEX && kind <= STREAM_PACKET_U32_SUBINDEX;
}

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET kind = STREAM_PACKET_INVALID;
  if (!getStreamPacketType(packet, &kind) || kind == STREAM_PACKET_BYTES) return false;
  return packet->length == kSampleLength[kind];
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  STREAM_PACKET kind = STREAM_PACKET_INVALID;
  if (!getStreamPacketType(packet, &kind)) return aErrPacket;
  if (kind == STREAM_PACKET_BYTES) return aErrSize;
  if (!isStreamSample(packet)) return aErrPacket;
  // Kinds with a subindex carry it in byte 4; the rest moves up by one.
  uint8_t at = isSubindexType(kind) ? 5 : 4;
  const uint8_t* p = packet->payload;
  if (timestamp != nullptr)
    *timestamp = static_cast<uint64_t>(aUEI_RetrieveInt(p + at)) << 32 | aUEI_RetrieveInt(p + at + 4);
  if (value != nullptr) *value = sBigEndian(p + at + 8, kValueWidth[kind]);
  if (subindex != nullptr) *subindex = isSubindexType(kind) ? p[4] : 0;
  return aErrNone;
}

bool sStreamSampleInfo(const aPacket* packet, StreamSampleInfo* info) {
  Link::STREAM_PACKET kind = Link::STREAM_PACKET_INVALID;
  if (!Link::getStreamPacketType(packet, &kind)) return false;
  const uint8_t* p = packet->payload;
  uint8_t subindex = Link::isSubindexType(kind) ? p[4] : 0;
  info->key = Link::createStreamKey(packet->address, p[0], p[1] & 0x3F, p[2] & 0x1F, subindex);
  uint32_t value = 0;
  // A key holding 0xFF reads as a registration's: such a sample is delivered, never cached.
  info->cacheable = !sHasWildcardByte(info->key) && Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;
  info->value = info->cacheable ? value : 0;
  return true;
}

size_t sRouteStreamSample(StreamMap& streams, const StreamSampleInfo& info,
                          const StreamEntry* targets[kMaxSampleTargets]) {
  // The exact key first, then the key under each mask; a mask may leave the key as it is
  // (its bytes are 0xFF already), so a key met twice counts once.
  uint64_t keys[kMaxSampleTargets];
  size_t distinct = 0;
  keys[distinct++] = info.key;
  for (uint8_t i = 0; i < kMasks; ++i) {
    uint64_t key = info.key | Link::_getGenericStreamKeyMask(i);
    bool seen = false;
    for (size_t j = 0; j < distinct && !seen; ++j) seen = keys[j] == key;
    if (!seen) keys[distinct++] = key;
  }
  size_t found = 0;
  bool exact = false;
  bool wildcard = false;
  for (size_t j = 0; j < distinct; ++j) {
    auto it = streams.find(keys[j]);
    if (it == streams.end()) continue;
    targets[found++] = &it->second;
    if (j == 0) {
      exact = true;
      if (info.cacheable) {
        it->second.value = info.value;
        it->second.fresh = true;
      }
    } else {
      wildcard = true;
    }
  }
  if (!exact && wildcard && info.cacheable) {
    StreamEntry cached;
    cached.key = info.key;
    cached.fresh = true;
    cached.value = info.value;
    streams.emplace(info.key, std::move(cached));
  }
  return found;
}

}  // namespace Tavrin::Corvantis
