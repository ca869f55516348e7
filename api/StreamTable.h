#pragma once
// The value streams' table and what one inbound packet does to it, without a link, so that
// tests and the fuzz target drive the filter's decisions directly.
#include <cstddef>
#include <cstdint>
#include <map>

#include "Link.h"
#include "aPacket.h"

namespace Tavrin::Corvantis {

// One entry of a Link's stream table: a registration (subindex 0xFF in its key, made by
// registerStreamCallback) or a cached value (a concrete key, made by the filter).
struct StreamEntry {
  uint64_t key = 0;
  bool fresh = false;  // a sample came since the value was last read
  Link::StreamCallback callback;  // empty for entries that only cache
  void* ref = nullptr;
  uint32_t value = 0;
};
using StreamMap = std::map<uint64_t, StreamEntry>;

// One element of the callback ring. Copies share the packet pointer; the worker destroys the
// packet after the call.
struct asyncPacket {
  Link::StreamCallback callback;
  void* ref = nullptr;
  aPacket* packet = nullptr;
};

// What the filter makes of one inbound stream packet.
struct StreamSampleInfo {
  uint64_t key = 0;        // (address, command, option, index, subindex) of the sample
  bool cacheable = false;  // a decodable sample whose key holds no 0xFF byte
  uint32_t value = 0;      // the decoded value, when cacheable
};

// False for a packet the filter leaves to the link (not a stream packet of a known kind).
bool sStreamSampleInfo(const aPacket* packet, StreamSampleInfo* info);

// Applies one taken sample to the table: the exact cache entry gets the value, or, when only
// registrations with wildcards cover the sample, a cache entry is made for it (cacheable
// samples only). The entries the sample is delivered to come out in `targets`, each once;
// their number is returned.
constexpr size_t kMaxSampleTargets = 16;
size_t sRouteStreamSample(StreamMap& streams, const StreamSampleInfo& info,
                          const StreamEntry* targets[kMaxSampleTargets]);

}  // namespace Tavrin::Corvantis
