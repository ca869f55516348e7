#pragma once
// What Link and Module decide about the packets that come back, as functions without a link,
// so that tests and the fuzz target drive them directly. Every check reads inside the payload
// only (packet->length bytes) and writes only its outputs.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "aError.h"
#include "aPacket.h"
#include "uei.h"

namespace Tavrin::Corvantis {

// Match predicates (aPacketMatchProc).

// ref: the uei record the reply must fit (module, command, option exactly, index in the low 5
// bits). A matching packet is decoded into the record, which must therefore be writable: an
// error reply sets `index` to its byte (bit 7 set) and `byteVal` to its code (aErrUnknown when
// the code byte is missing); a reply of 3, 4, 5 or 7 bytes sets `type` and `value`; any other
// length changes neither.
uint8_t sUEIFilter(const aPacket* packet, const void* record);
// The result an answered entity request gives, from the record its reply was decoded into: the
// device's code for an error reply (aErrUnknown for code 0, never success), else aErrNone.
aErr sEntityReplyError(const uei& reply);

// The first `length` payload bytes equal `bytes` (length 0 takes any packet; a shorter payload
// never matches).
struct CommandMatch {
  const uint8_t* bytes;
  uint8_t length;  // at most aPACKET_MAX_DATA
};
uint8_t sCommandFilter(const aPacket* packet, const void* match);

// A packet without payload: the answer to the module-address query.
uint8_t MatchMagic(const aPacket* packet, const void* ref);

// A store-slot reply (command 4) to the request: longer than 3 bytes, the operation with or
// without the error bit, then the store and slot (operations 1 to 4) or the handle.
struct SlotRequest {
  uint8_t operation;
  uint8_t store;
  uint8_t slot;
  uint8_t handle;
};
uint8_t sSlotFilter(const aPacket* packet, const void* request);

// A factory-data reply (0x5E) to the request whose byte 1 `ref` points at: byte 1 carries that
// byte's kind (low 4 bits), with or without the error bit.
uint8_t sFactoryFilter(const aPacket* packet, const void* requestCode);

// Store-slot replies, each taken by sSlotFilter. An error reply gives the device's code, or
// aErrUnknown when it carries none or 0: never success.
// Capacity or size: the 16-bit value; the device's error; aErrUnknown for any other shape.
aErr sSlotValueReply(const aPacket* reply, size_t* value);
// Open: the handle, or 255 (never a handle) for an error reply or one without a handle byte.
uint8_t sSlotOpenReply(const aPacket* reply);
// Write of bytes summing to `sum`: an error reply is an error whatever its length; a 4-byte
// reply must carry the sum (aErrIO); other lengths are taken unchecked.
aErr sSlotWriteReply(const aPacket* reply, uint8_t sum);
// Read: the data bytes (*data, *size); aErrUnknown for a reply without data.
aErr sSlotReadReply(const aPacket* reply, const uint8_t** data, size_t* size);
// Close: aErrIO for a length other than 4.
aErr sSlotCloseReply(const aPacket* reply);

// Factory-data replies, each taken by sFactoryFilter; error replies as for store slots.
// Read, with `have` bytes read so far into a buffer of `capacity`: aErrOverrun when the reply's
// data would reach `capacity`, then the device's error, else the data bytes.
aErr sFactoryReadReply(const aPacket* reply, size_t have, size_t capacity, const uint8_t** data, size_t* size);
// Write: the device's error; aErrSize for a good reply of a length other than 2.
aErr sFactoryWriteReply(const aPacket* reply);
// End of a read or write: the device's error, else aErrNone.
aErr sFactoryEndReply(const aPacket* reply);

// Module queries, on a received payload of `length` bytes.
// [0x49, 0xFF, b3, b2, b1, b0]: the build; aErrSize for any other shape.
aErr sBuildReply(const uint8_t* payload, uint8_t length, uint32_t* build);
// The first `repeated` bytes of the request, then one value byte (for hasUEI the result takes
// the place of the flags); aErrUnknown for any other shape.
aErr sQueryReply(const uint8_t* request, uint8_t repeated, const uint8_t* payload, uint8_t length, uint8_t* value);
// [0x17, the data] exactly; aErrIO otherwise.
aErr sEchoReply(const uint8_t* data, uint8_t dataLength, const uint8_t* payload, uint8_t length);

// The wait for a link to run, decided by its first status: 2 at once; 0, 1 and 4 by polling
// (a pause, then the status again, at most `tries` pauses) until it is 2 (aErrNone) or the
// pauses are spent (aErrConnection); 3 aErrBusy; 5, 6 and 8 aErrConnection; any other value
// aErrDuplicate.
aErr sWaitForRunning(const std::function<int()>& status, const std::function<void()>& pause, uint16_t tries);

}  // namespace Tavrin::Corvantis
