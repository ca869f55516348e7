#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "SimReply.h"

// A fault of the upgrade entity, for the requests of one sub-command (0 to 6, or 10 for the
// byte-sequence data set). It leaves the first `after` of them alone, then meets `times` of
// them (0: every one from then on).
struct SimUpgradeFault {
  enum class Kind {
    kNoReply,        // taken, not answered
    kLate,           // answered `value` ms late
    kStatus,         // a status reply (PREPARE, SUM, WRITE) with status `value`
    kWrongCount,     // DATA not taken, answered with one byte fewer than sent
    kWrongSum,       // SUM answered with the sum plus one
    kShort,          // the reply cut to `value` payload bytes
    kBlockSizeZero,  // PREPARE answered with block size 0
    kVanish,         // not answered: the device drops its link and stays silent for good
  };
  uint8_t sub = 0;
  Kind kind = Kind::kNoReply;
  uint32_t value = 0;
  uint32_t times = 1;
  uint32_t after = 0;
};

// A module's firmware-upgrade entity (command 95): raw packets [95, sub-command, ...].
//   INIT    [95, 0]                 -> [95, 0, base (4)]
//   PREPARE [95, 3, flags, addr (4)] -> [95, 7, status, block size (2)]; sets the address
//   DATA    [95, 1, n bytes]         -> [95, 1, n]
//   option 10 set [95, 0x8A, 0x20, bytes, trailer]: a byte sequence, reassembled with its
//           sequence numbers and acknowledged once [95, 0xCA, 0x00]; bytes as for DATA
//   SUM     [95, 4]                  -> [95, 7, status, sum (4)] over the bytes taken since
//           the last PREPARE, SUM or WRITE
//   WRITE   [95, 5, length (2)]      -> [95, 7, status]: commits the bytes taken since the last
//           PREPARE or WRITE to the flash model at the address, which moves on; a length other
//           than their count: status 1, nothing written
//   LOAD    [95, 2]                  -> [95, 2] (or nothing), and the loader runs
//   REBOOT  [95, 6]                  -> nothing; the device restarts
// Until LOAD the bytes land in the loader RAM model at the prepared address instead.
// Multi-byte numbers are big-endian. Not thread-safe: its owner locks.
class SimUpgradeEntity {
 public:
  struct Options {
    uint32_t base = 0x20000000;  // INIT's load base
    uint16_t blockSize = 256;    // PREPARE's answer
    bool answerLoad = true;
  };
  // One stretch of memory as written, in write order.
  struct Stretch {
    uint32_t address;
    std::vector<uint8_t> bytes;
  };

  void SetOptions(const Options& options) { options_ = options; }
  const Options& options() const { return options_; }
  void AddFault(const SimUpgradeFault& fault) { faults_.push_back({fault, 0}); }
  void ClearFaults() { faults_.clear(); }

  // A request of command 95: its replies are appended; the result is what it sets off.
  SimDeviceEvent Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);

  bool loaderRunning() const { return loaderRunning_; }
  const std::vector<Stretch>& flashWrites() const { return flash_; }
  const std::vector<Stretch>& loaderWrites() const { return ram_; }
  // `length` bytes from `address` as the memory holds them now (0xFF where nothing was written).
  std::vector<uint8_t> Flash(uint32_t address, size_t length) const { return Read(flash_, address, length); }
  std::vector<uint8_t> LoaderRam(uint32_t address, size_t length) const { return Read(ram_, address, length); }

  static std::vector<uint8_t> Read(const std::vector<Stretch>& memory, uint32_t address, size_t length);

 private:
  struct ActiveFault {
    SimUpgradeFault fault;
    uint32_t used;
  };
  // The fault this request of `sub` meets, if any (counts it).
  const SimUpgradeFault* Meet(uint8_t sub);
  void Take(const uint8_t* data, size_t size);

  Options options_;
  std::vector<ActiveFault> faults_;
  std::map<uint8_t, uint32_t> seen_;  // requests per sub-command
  bool loaderRunning_ = false;
  uint32_t address_ = 0;
  std::vector<uint8_t> piece_;  // taken since the last PREPARE or WRITE
  uint32_t sum_ = 0;            // of the bytes taken since the last PREPARE, SUM or WRITE
  std::vector<uint8_t> sequence_;
  uint8_t nextSequence_ = 0;
  bool sequenceBroken_ = false;
  std::vector<Stretch> flash_;
  std::vector<Stretch> ram_;
};
