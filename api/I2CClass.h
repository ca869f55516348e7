#pragma once
#include <cstdint>

#include "EntityClass.h"

namespace Tavrin::Corvantis {

// An I2C bus of a device (entity command 8, the bus index as the entity index). Its requests
// are raw packets of their own layout; each reply is awaited 1000 ms. A length above 23 gives
// aErrSize, a null buffer with a length above 0 aErrParam, both with nothing sent; a reply of 4
// bytes or fewer aErrPacket; a status with bit 7 set its low 7 bits (a device error code).
class I2CClass : public EntityClass {
 public:
  I2CClass() = default;
  ~I2CClass() override = default;

  void init(Module* module, uint8_t bus);
  // Codes 0 to 3 (the device's meaning), sent with every read and write; no packet.
  aErr setSpeed(uint8_t code);
  aErr getSpeed(uint8_t* code);
  // `address` is the device's 8-bit I2C address; a read sends it with bit 0 set.
  aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(bool on);

 private:
  uint8_t speed = 0;
};

// A bus reply of `length` payload bytes: aErrPacket for 4 bytes or fewer, the status's low 7
// bits when its bit 7 is set. With a read buffer (not NULL), the data is copied into it: a
// count above `asked` or above the bytes the reply carries gives aErrPacket, nothing copied.
aErr sI2CReply(const uint8_t* payload, uint8_t length, uint8_t asked, uint8_t* buffer);

}  // namespace Tavrin::Corvantis
