#pragma once
#include <cstddef>
#include <cstdint>

namespace Tavrin::Corvantis {

// Value types of a uei record. 3 is not used.
enum : int {
  ueiTypeNone = 0,   // no value
  ueiTypeByte = 1,   // 8 bits
  ueiTypeShort = 2,  // 16 bits, big-endian on the wire
  ueiTypeInt = 4,    // 32 bits, big-endian on the wire
  ueiTypeBytes = 5,  // a byte sequence over several packets
};

// One exchange of the entity protocol: the request to send, or the reply to wait for and what
// it carried.
struct uei {
  uint8_t module;   // the device's module address: requests go there, replies must come from there
  uint8_t command;  // the entity command, payload byte 0
  uint8_t option;   // as sent (with the access bits), or as the reply must carry it
  uint8_t index;    // as sent (with 0x20), or as the reply must carry it; bit 7 after an error reply
  union {
    uint8_t byteVal;  // after an error reply: the device's error code
    uint16_t shortVal;
    uint32_t intVal;
    uint8_t* data;  // byte sequences: the bytes to send, or the next free byte to receive into
  } value;
  uint8_t sequence;  // byte-sequence receive: the sequence number the next packet must carry
  bool more;         // byte-sequence receive: the continue bit of the last packet taken
  size_t length;     // byte-sequence send: bytes to send; receive: capacity of the buffer
  size_t* count;     // byte-sequence receive: bytes received so far
  int type;          // a ueiType value
};

}  // namespace Tavrin::Corvantis
