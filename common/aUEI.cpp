#include "aUEI.h"

#include <cstring>

namespace {

const uint8_t kNotUEICommands[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

// The trailer byte, or none for an empty payload (a device may send one) or a length that
// was refused while parsing.
bool sTrailer(const aPacket* packet, uint8_t* trailer) {
  if (packet == nullptr || packet->length == 0 || packet->length > aPACKET_MAX_DATA) return false;
  *trailer = packet->payload[packet->length - 1];
  return true;
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (words == nullptr) return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    memcpy(bytes, &words[i], sizeof bytes);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  uint8_t trailer;
  return sTrailer(packet, &trailer) ? trailer & 0x7F : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  uint8_t trailer;
  return sTrailer(packet, &trailer) ? trailer >> 7 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (packet == nullptr) return false;
  for (uint8_t cmd : kNotUEICommands) {
    if (packet->payload[0] == cmd) return true;
  }
  return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->length > 4 && aUEI_isUEIPayload(packet) &&
         (packet->payload[1] & 0xC0) == 0 && (packet->payload[2] & 0x40) != 0;
}
