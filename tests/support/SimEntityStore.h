#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SimReply.h"

// A module's entity store (command 92): a set of option 0 (save), 1 (factory reset) or 2 (load)
// with the 32-bit value (command << 8) | index of the entity is acknowledged and recorded.
// Not thread-safe: its owner locks.
class SimEntityStore {
 public:
  struct Request {
    uint8_t option;
    uint8_t command;
    uint8_t index;
    bool operator==(const Request&) const = default;
  };

  void Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);
  const std::vector<Request>& Requests() const { return requests_; }

 private:
  std::vector<Request> requests_;
};
