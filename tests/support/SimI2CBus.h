#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "SimReply.h"

// A slave on a simulated I2C bus, by its 8-bit (write) address.
struct SimI2CSlave {
  // How a read reply is shaped.
  enum class Shape {
    kRight,              // count = the length asked, then that many bytes
    kCountAboveAsked,    // count one above the length asked, with that many bytes
    kCountAboveCarried,  // count = the length asked, one byte fewer carried
  };
  std::vector<uint8_t> data{};  // what reads return (zero-padded to the length asked)
  uint8_t status = 0;         // the status byte of every reply (bit 7: failed, low bits the code)
  Shape shape = Shape::kRight;
};

// A module's I2C buses (command 8): read [8, bus, address | 1, length, speed] answered by
// [8, bus, address | 1, count, status, data], write [8, bus, address, length, speed, data]
// answered by [8, bus, address, 0, status], pull-up [8, bus, 1, on] answered by
// [8, bus, 1, on, 0]. A slave that is not there answers with status 0x80 | aErrNotFound.
// Written bytes and pull-up states are recorded. Not thread-safe: its owner locks.
class SimI2CBus {
 public:
  void SetSlave(uint8_t bus, uint8_t address, SimI2CSlave slave);
  void Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);
  // Every byte written to the slave, in order.
  std::vector<uint8_t> Written(uint8_t bus, uint8_t address) const;
  std::optional<bool> Pullup(uint8_t bus) const;

 private:
  using Where = std::pair<uint8_t, uint8_t>;  // bus, address with bit 0 clear
  std::map<Where, SimI2CSlave> slaves_;
  std::map<Where, std::vector<uint8_t>> written_;
  std::map<uint8_t, bool> pullups_;
};
