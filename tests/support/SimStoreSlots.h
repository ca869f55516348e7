#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "SimReply.h"

// One module's stores of slots (command 4): each slot has a capacity and a block. A slot is
// opened for reading or writing and answers with a handle (never 255); reads come in chunks of
// a set size (at most 25), each write is answered with the 8-bit sum of its bytes, and a
// written block replaces the slot's at the close. Opened and closed handles are counted, so a
// test can tell that every opened slot was closed. Not thread-safe: its owner locks.
class SimStoreSlots {
 public:
  void SetSlot(uint8_t store, uint8_t slot, size_t capacity, std::vector<uint8_t> contents);
  std::vector<uint8_t> Contents(uint8_t store, uint8_t slot) const;
  // The open reply comes this late; reads carry this many bytes (1 to 25).
  void SetOpenDelay(uint32_t ms) { openDelayMs_ = ms; }
  void SetReadChunk(size_t bytes);

  size_t Opens() const { return opens_; }
  // Handles open now.
  size_t OpenHandles() const { return handles_.size(); }

  void Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);
  static std::vector<uint8_t> ErrorHead(const uint8_t* payload, size_t length);

 private:
  struct Slot {
    size_t capacity = 0;
    std::vector<uint8_t> contents;
  };
  struct Open {
    std::pair<uint8_t, uint8_t> slot;
    bool writing = false;
    size_t position = 0;          // reading: the next byte
    std::vector<uint8_t> written;  // writing: the block so far
  };

  std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
  std::map<uint8_t, Open> handles_;
  uint8_t nextHandle_ = 1;
  uint32_t openDelayMs_ = 0;
  size_t readChunk_ = 25;
  size_t opens_ = 0;
};
