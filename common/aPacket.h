#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aPACKET_CHECK 0xBEEF
// Payload bytes of one packet; its wire form (address, length, payload) is 2 more.
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

// One device packet. address, length and payload lie in wire order, so the wire form is the
// record's bytes from `address` on, length + 2 of them.
struct aPacket {
  uint16_t check;                     // aPACKET_CHECK while valid
  uint8_t count;                      // wire bytes taken in so far; complete at length + 2
  uint8_t address;                    // 0 is not an address
  uint8_t length;                     // payload bytes, 0 to 28
  uint8_t payload[aPACKET_MAX_DATA];  // payload[0] is the command
};

inline bool aVALIDPACKET(const aPacket* packet) {
  return packet != nullptr && packet->check == aPACKET_CHECK;
}

// A new empty packet to be filled byte by byte, or NULL.
aPacket* aPacket_Create();
// A new complete packet; NULL when data is NULL, length is above 28 or memory runs out.
// Address 0 is stored as given.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A complete copy of the packet's address, length and payload; NULL for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);

// Command (payload[0]), option (payload[1] & 0x3F) and index (payload[2] & 0x1F):
// aErrParam for a NULL output, aErrPacket for an invalid packet or one too short.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Empties the packet so that byte-by-byte filling can start again.
aErr aPacket_Reset(aPacket* packet);
// Takes in the next wire byte. aErrPacket for address 0, a length above 28 (kept stored) or
// a payload byte past the length; aErrOverrun for every byte past the 30th. Reset after any
// error before feeding more.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// Valid, a length of at most 28, and count equal to length + 2.
bool aPacket_IsComplete(const aPacket* packet);
// Writes the wire form into buffer and, when count is given, its size. aErrParam for an
// invalid packet or NULL buffer, aErrPacket for a stored length above 28, aErrOverrun for a
// buffer smaller than length + 2. Completeness is not examined.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count);
// Frees the packet and clears the handle. aErrParam for a NULL address or handle, and for an
// invalid record, which is not freed (the handle is still cleared).
aErr aPacket_Destroy(aPacket** packet);
