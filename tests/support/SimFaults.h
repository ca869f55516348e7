#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SimReply.h"

// What a fault does to the replies of the request it matches.
struct SimFault {
  enum class Kind {
    kNoReply,           // nothing is sent
    kLate,              // every reply ms late
    kLength,            // the first reply cut or zero-padded to `length` payload bytes
    kSender,            // every reply from `sender`
    kErrorWithoutCode,  // the request's error reply, without its code byte
    kErrorReply,        // the request's error reply with `code`
    kWrongSum,          // the first reply's last byte is one more (a write's sum, an echo's data)
    kExtraLateCopy,     // the replies, then one more copy of them ms later
    kSequenceOff,       // the second reply's sequence number (its trailer's low 7 bits) + delta
    kEmptyMore,         // instead, `length` byte-sequence packets without data, each saying more follows
    kVanish,            // not answered: ms later the device drops its link and stays silent for good
  };
  Kind kind = Kind::kNoReply;
  uint32_t ms = 0;
  size_t length = 0;
  uint8_t sender = 0;
  int delta = 0;
  uint8_t code = 0;

  static SimFault NoReply() { return {Kind::kNoReply}; }
  static SimFault Late(uint32_t ms) { return {Kind::kLate, ms}; }
  static SimFault Length(size_t length) { return {Kind::kLength, 0, length}; }
  // An open reply of 4 bytes: the handle is missing.
  static SimFault OpenWithoutHandle() { return Length(4); }
  static SimFault Sender(uint8_t address) { return {Kind::kSender, 0, 0, address}; }
  static SimFault ErrorWithoutCode() { return {Kind::kErrorWithoutCode}; }
  static SimFault ErrorReply(uint8_t code) { return {Kind::kErrorReply, 0, 0, 0, 0, code}; }
  static SimFault WrongSum() { return {Kind::kWrongSum}; }
  static SimFault ExtraLateCopy(uint32_t ms) { return {Kind::kExtraLateCopy, ms}; }
  // -1 repeats the first packet's number; +1 skips one.
  static SimFault SequenceOff(int delta) { return {Kind::kSequenceOff, 0, 0, 0, delta}; }
  static SimFault EmptyMore(size_t packets) { return {Kind::kEmptyMore, 0, packets}; }
  // Gone for good: a TCP device resets its connection and stops listening, a USB device is
  // unplugged (the device's transport, SimLinkDevice::SetTransport), while the host waits.
  static SimFault Vanish(uint32_t ms = 0) { return {Kind::kVanish, ms}; }
};

// Faults keyed by request: a request whose payload begins with the key's bytes (and, with a
// module other than 0, is addressed to it) meets the first matching fault. A fault added for
// the next request is used once; one for every request stays. Not thread-safe: its owner locks.
class SimFaults {
 public:
  void Add(std::vector<uint8_t> prefix, SimFault fault, bool every = false, uint8_t module = 0);
  void Clear() { entries_.clear(); }

  // Applies the fault that the request meets, if any. errorHead is the request's error reply
  // without its code.
  void Apply(uint8_t module, const uint8_t* payload, size_t length, const std::vector<uint8_t>& errorHead,
             std::vector<SimReply>* replies);

 private:
  struct Entry {
    std::vector<uint8_t> prefix;
    SimFault fault;
    bool every;
    uint8_t module;
  };
  std::vector<Entry> entries_;
};
