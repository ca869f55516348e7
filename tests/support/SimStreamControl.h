#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "SimReply.h"

// A module's stream control (command 0x5D): an enable (set of option 1) or disable (option 2)
// carries the key [module, command, option, index] as its 32-bit value, 0xFF in the last three
// bytes standing for any value; a get of option 1 asks whether anything streams. The module
// keeps the enabled keys; its samples go out only for keys they cover. Not thread-safe: its
// owner locks.
class SimStreamControl {
 public:
  enum class Answer {
    kAcknowledge,  // [0x5D, 0xC1 or 0xC2, 0x00], the key taken or dropped
    kRefuse,       // the error reply with the refusal code, nothing changes
    kSilent,       // no reply, nothing changes
  };
  using Key = std::tuple<uint8_t, uint8_t, uint8_t, uint8_t>;  // module, command, option, index

  // How enables and disables are answered from now on.
  void SetAnswer(Answer answer, uint8_t refusalCode = 0);
  // On: a disable is acknowledged but the keys stay enabled (the device goes on streaming).
  void SetGoOnAfterDisable(bool on) { goOn_ = on; }

  void Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);
  // Whether a sample of (module, command, option, index) goes out.
  bool Streams(uint8_t module, uint8_t command, uint8_t option, uint8_t index) const;
  std::vector<Key> Enabled() const { return {keys_.begin(), keys_.end()}; }

 private:
  std::set<Key> keys_;
  Answer answer_ = Answer::kAcknowledge;
  uint8_t refusal_ = 0;
  bool goOn_ = false;
};
