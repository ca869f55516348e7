#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "SimReply.h"

// One module's factory data (command 0x5E): a block per kind 0 to 15, read in replies of up to
// 26 data bytes. A write collects its packets and is committed only by the end request whose
// count matches, so a refused or broken write leaves the block as it was; an end request
// without a transfer is answered and changes nothing. Not thread-safe: its
// owner locks.
class SimFactoryData {
 public:
  void SetBlock(uint8_t kind, std::vector<uint8_t> bytes) { blocks_[kind & 0x0F] = std::move(bytes); }
  std::optional<std::vector<uint8_t>> Block(uint8_t kind) const;

  void Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);
  static std::vector<uint8_t> ErrorHead(const uint8_t* payload, size_t length);

 private:
  enum class Mode { kNone, kRead, kWrite };

  std::map<uint8_t, std::vector<uint8_t>> blocks_;
  Mode mode_ = Mode::kNone;
  uint8_t kind_ = 0;
  size_t position_ = 0;          // reading: the next byte
  std::vector<uint8_t> pending_;  // writing: what the end request would commit
};
