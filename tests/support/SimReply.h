#pragma once
#include <cstdint>
#include <vector>

// One packet a simulated module sends back: its payload, its sender and how late it goes out.
struct SimReply {
  std::vector<uint8_t> payload;
  uint8_t from = 0;      // sender address; 0: the module the request went to
  uint32_t delayMs = 0;  // sent this long after the request, through the device's timed output
};
