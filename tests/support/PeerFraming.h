#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// The far end's COBS/CRC-8 framing, written apart from the library's so that a fault there
// cannot hide behind the same fault here. A test oracle: keep it separate from the library.

// The CRC-8 (Dallas/Maxim 1-Wire), bit by bit.
uint8_t PeerCrc8(const std::vector<uint8_t>& bytes);
// The line bytes of one packet: wire form, CRC, COBS-encoded, zero delimiter.
std::vector<uint8_t> PeerFrame(const std::vector<uint8_t>& wire);
// COBS alone, without CRC or delimiter.
std::vector<uint8_t> PeerCobsEncode(const std::vector<uint8_t>& bytes);

// Splits line bytes into frames at zero bytes (zero runs are skipped) and checks each.
class PeerDeframer {
 public:
  struct Frame {
    std::vector<uint8_t> wire;  // the decoded packet without CRC, when good
    std::vector<uint8_t> line;  // the encoded bytes as received
    bool good = false;
  };
  // The frames that these bytes complete.
  std::vector<Frame> Feed(const uint8_t* data, size_t length);

 private:
  std::vector<uint8_t> pending_;
};
