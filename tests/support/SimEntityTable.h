#pragma once
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "SimReply.h"

// Value widths an entity carries on the wire.
enum class SimWidth : uint8_t { kNone = 0, kByte = 1, kShort = 2, kInt = 4, kBytes = 5 };

struct SimEntityKey {
  uint8_t command = 0;
  uint8_t option = 0;  // 0 to 63, without access bits
  uint8_t index = 0;   // 0 to 31
  int subindex = -1;   // -1: the entity takes no subindex
  auto operator<=>(const SimEntityKey&) const = default;
};

struct SimEntity {
  SimWidth width = SimWidth::kNone;
  uint32_t value = 0;
  std::vector<uint8_t> bytes{};  // kBytes: what a get sends, what a set stored
  uint8_t error = 0;           // not 0: every request to it gets the error reply with this code
  bool gettable = true;        // a get of one that is not, or a set of one that is not
  bool settable = true;        // settable, gets the error reply aErrPermission
};

// One module's entities as the entity protocol reaches them. A get answers in the reply form
// of the entity's width (byte sequences in packets of up to 24 data bytes with trailers); a set
// stores and is acknowledged (option + 0xC0), a byte-sequence set once after its last packet;
// a call (width 0) is acknowledged. Error replies are [command, option of the good reply,
// index + 0x80, code]. Not thread-safe: its owner locks.
class SimEntityTable {
 public:
  void Set(const SimEntityKey& key, const SimEntity& entity);
  std::optional<SimEntity> Find(const SimEntityKey& key) const;

  // A request whose option carries the get or the set bit; its replies are appended.
  void Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies);
  // The error reply to a request, without its code byte.
  static std::vector<uint8_t> ErrorHead(const uint8_t* payload, size_t length);
  // The entities called (sets without a value), in order.
  const std::vector<SimEntityKey>& Calls() const { return calls_; }

 private:
  // A byte-sequence set in progress: packets must carry 0, 1, 2... (wrapping at 128).
  struct Assembly {
    std::vector<uint8_t> bytes;
    uint8_t next = 0;
    bool broken = false;  // out of sequence: the rest of the transfer is dropped
  };

  bool TakesSubindex(const SimEntityKey& key) const;
  void Get(const SimEntityKey& key, const SimEntity& entity, std::vector<SimReply>* replies) const;
  void SetBytes(const SimEntityKey& key, SimEntity& entity, const uint8_t* data, size_t size,
                uint8_t trailer, std::vector<SimReply>* replies);

  std::map<SimEntityKey, SimEntity> entities_;
  std::map<SimEntityKey, Assembly> assemblies_;
  std::vector<SimEntityKey> calls_;
};
