#pragma once
// The private part of EntityClass, for the units of the object API.
#include "EntityClass.h"
#include "LinkChecks.h"

namespace Tavrin::Corvantis {

constexpr uint8_t kMaxOption = 63;
constexpr uint8_t kMaxIndex = 31;
constexpr uint8_t kErrorReplyBit = 0x80;

struct EntityClass::impl {
  explicit impl(EntityClass& owner) : owner(owner) {}

  EntityClass& owner;
  Module* module = nullptr;  // not owned; null until init
  uint8_t command = 0;
  uint8_t index = 0;

  // The bound Module's Link; aErrResource without one.
  aErr bound(Link** link) const;
  // bound, and an option and index that fit their bytes (aErrParam).
  aErr optionRequest(uint8_t option, Link** link) const;
  // A get of the option (subindex -1: none), after dropping the replies to an earlier one that
  // came too late.
  aErr sendGet(Link* link, uint8_t option, int subindex) const;
  // A set of the record's value (subindex -1: none) and its acknowledgement.
  aErr set(uint8_t option, int subindex, uei* record);
  // A set of option 0, 1 or 2 of the device's entity store with this entity's (command, index).
  aErr store(uint8_t option) const;
};

}  // namespace Tavrin::Corvantis
