// Stream keys, stream sample packets and the table decisions of the inbound stream filter.
#include "StreamTable.h"

#include "aUEI.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr int kMasks = 15;
// Up to this many entries, the filter walks the table whole (see sRouteStreamSample).
constexpr size_t kSmallTable = 8;

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

// How a table key covers a sample's key of the same module and table range: -1 when it does
// not; else the mask bits (those of _getGenericStreamKeyMask(bits - 1)) that make the key out
// of the sample's, 0 for the exact key. Each covering key has its own rank.
int sCoverRank(uint64_t key, uint64_t sample) {
  static constexpr uint8_t kMasked[4] = {Link::STREAM_KEY_INDEX, Link::STREAM_KEY_OPTION, Link::STREAM_KEY_COMMAND,
                                         Link::STREAM_KEY_SUBINDEX};
  int rank = 0;
  for (int bit = 0; bit < 4; ++bit) {
    uint8_t wanted = Link::getStreamKeyElement(key, kMasked[bit]);
    if (wanted == Link::getStreamKeyElement(sample, kMasked[bit])) continue;
    if (wanted != kAny) return -1;
    rank |= 1 << bit;
  }
  return rank;
}

// A byte of a covering key: its own value (choice 0), or 0xFF; a byte that is 0xFF has one.
int sChoices(uint8_t own) { return own == kAny ? 1 : 2; }
uint8_t sChoice(uint8_t own, int choice) { return choice == 0 ? own : kAny; }

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
  // Only keys of the sample's module whose other bytes are the sample's or 0xFF can cover it,
  // and the table keeps them in a few short runs of keys: walking those is cheaper than a lookup
  // for each of the 16 covering keys. A small table is walked in one run per subindex (the
  // sample's and 0xFF); a larger one in a run per subindex, command and option, so that other
  // commands' and options' entries are never visited. The targets come in the order of the
  // covering keys (the exact key, then each mask's), by their rank.
  uint8_t module = Link::getStreamKeyElement(info.key, Link::STREAM_KEY_MODULE);
  bool small = streams.size() <= kSmallTable;
  unsigned ranks[kMaxSampleTargets];
  size_t count = 0;
  StreamEntry* exact = nullptr;
  // The runs come in key order, and each walk leaves `next` on the first key past its run: when
  // that key is already at or past the next run's first, the next run starts there without a
  // search.
  auto next = streams.end();
  bool placed = false;
  auto walk = [&](uint8_t command, uint8_t option, uint8_t subindex) {
    uint64_t first = Link::createStreamKey(module, small ? 0 : command, small ? 0 : option, 0, subindex);
    uint64_t last = Link::createStreamKey(module, small ? kAny : command, small ? kAny : option, kAny, subindex);
    if (!placed || (next != streams.end() && next->first < first)) next = streams.lower_bound(first);
    placed = true;
    for (; next != streams.end() && next->first <= last; ++next) {
      int rank = sCoverRank(next->first, info.key);
      if (rank < 0) continue;
      size_t at = count++;
      for (; at > 0 && ranks[at - 1] > static_cast<unsigned>(rank); --at) {
        ranks[at] = ranks[at - 1];
        targets[at] = targets[at - 1];
      }
      ranks[at] = static_cast<unsigned>(rank);
      targets[at] = &next->second;
      if (rank == 0) exact = &next->second;
    }
  };
  // Each byte's own value, then 0xFF (once when it is 0xFF already): the runs come in key order.
  uint8_t subindex = Link::getStreamKeyElement(info.key, Link::STREAM_KEY_SUBINDEX);
  uint8_t command = Link::getStreamKeyElement(info.key, Link::STREAM_KEY_COMMAND);
  uint8_t option = Link::getStreamKeyElement(info.key, Link::STREAM_KEY_OPTION);
  for (int s = 0; s < sChoices(subindex); ++s) {
    if (small) {
      walk(0, 0, sChoice(subindex, s));
      continue;
    }
    for (int c = 0; c < sChoices(command); ++c)
      for (int o = 0; o < sChoices(option); ++o) walk(sChoice(command, c), sChoice(option, o), sChoice(subindex, s));
  }
  if (exact != nullptr && info.cacheable) {
    exact->value = info.value;
    exact->fresh = true;
  }
  if (exact == nullptr && count > 0 && info.cacheable) {
    StreamEntry cached;
    cached.key = info.key;
    cached.fresh = true;
    cached.value = info.value;
    streams.emplace(info.key, std::move(cached));
  }
  return count;
}

}  // namespace Tavrin::Corvantis
