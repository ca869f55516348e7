#pragma once
#include <cstdint>
#include <cstring>

#include "aPacket.h"

// A well-formed packet around `length` payload bytes, the rest of its payload buffer set to
// `stale`: a check run on one packet with stale 0x00 and again with 0xFF must decide the same,
// or it read past the payload.
inline aPacket FuzzPacket(uint8_t address, const uint8_t* payload, uint8_t length, uint8_t stale) {
  aPacket packet{};
  packet.check = aPACKET_CHECK;
  packet.address = address;
  packet.length = length;
  packet.count = static_cast<uint8_t>(length + 2);
  memset(packet.payload, stale, sizeof packet.payload);
  memcpy(packet.payload, payload, length);
  return packet;
}
