#include "aPacket.h"

#include <cstring>
#include <new>

namespace {

constexpr aPacket kEmptyPacket = {aPACKET_CHECK, 0, 0, 0, {}};

// Bytes past the largest wire form are refused here; the count stops one beyond it.
constexpr uint8_t kOverrunCount = aPACKET_MAX_WIRE + 1;

aErr sGetField(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->length <= index) return aErrPacket;
  *out = packet->payload[index] & mask;
  return aErrNone;
}

}  // namespace

aPacket* aPacket_Create() { return new (std::nothrow) aPacket(kEmptyPacket); }

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->length = length;
  memcpy(packet->payload, data, length);
  packet->count = static_cast<uint8_t>(length + 2);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->length, packet->payload);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) { return sGetField(packet, cmd, 0, 0xFF); }

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sGetField(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sGetField(packet, index, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  *packet = kEmptyPacket;
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  // The count saturates instead of wrapping: a wrapped count would index outside the payload.
  if (packet->count >= kOverrunCount) return aErrOverrun;
  packet->count++;
  if (packet->count >= kOverrunCount) return aErrOverrun;

  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->length == 0) {
    packet->length = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  if (packet->count > packet->length + 2) return aErrPacket;
  // count is at most 30 here, so the index is at most 27.
  packet->payload[packet->count - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->length <= aPACKET_MAX_DATA &&
         packet->count == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count) {
  if (!aVALIDPACKET(packet) || buffer == nullptr) return aErrParam;
  // A length refused by aPacket_AddByte stays stored; it must not size a copy.
  if (packet->length > aPACKET_MAX_DATA) return aErrPacket;
  size_t wire = packet->length + 2u;
  if (size < wire) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->length;
  memcpy(buffer + 2, packet->payload, packet->length);
  if (count != nullptr) *count = wire;
  return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  aPacket* doomed = *packet;
  *packet = nullptr;
  if (doomed->check != aPACKET_CHECK) return aErrParam;
  doomed->check = 0;
  delete doomed;
  return aErrNone;
}
