#include "LinkEcho.h"

#include <vector>

#include "PacketHelpers.h"

bool LinkEcho(aLinkRef ref, int tag, uint64_t ms) {
  std::vector<uint8_t> payload{0x10, static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8), 0x5A};
  PacketPtr request(aPacket_CreateWithData(0x08, static_cast<uint8_t>(payload.size()), payload.data()));
  if (aLink_PutPacket(ref, request.get()) != aErrNone) return false;
  PacketPtr reply(aLink_AwaitFirst(ref, SamePayload, &payload, ms));
  return reply != nullptr && reply->address == 0x08;
}
