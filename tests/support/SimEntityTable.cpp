#include "SimEntityTable.h"

#include <algorithm>

#include "aError.h"

namespace {

constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kMore = 0x80;
constexpr size_t kChunk = 24;

uint8_t sGoodOption(const uint8_t* payload) {
  uint8_t option = payload[1] & 0x3F;
  return (payload[1] & 0xC0) == kSet ? option | kAck : option;
}

void sAppendValue(std::vector<uint8_t>* out, SimWidth width, uint32_t value) {
  for (int shift = static_cast<int>(width) * 8 - 8; shift >= 0; shift -= 8)
    out->push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

void SimEntityTable::Set(const SimEntityKey& key, const SimEntity& entity) { entities_[key] = entity; }

std::optional<SimEntity> SimEntityTable::Find(const SimEntityKey& key) const {
  auto it = entities_.find(key);
  if (it == entities_.end()) return std::nullopt;
  return it->second;
}

std::vector<uint8_t> SimEntityTable::ErrorHead(const uint8_t* payload, size_t length) {
  if (length < 3) return {};
  return {payload[0], sGoodOption(payload), static_cast<uint8_t>((payload[2] & 0x1F) | kErrorBit)};
}

bool SimEntityTable::TakesSubindex(const SimEntityKey& key) const {
  SimEntityKey first = key;
  first.subindex = 0;
  auto it = entities_.lower_bound(first);
  return it != entities_.end() && it->first.command == key.command && it->first.option == key.option &&
         it->first.index == key.index;
}

void SimEntityTable::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 3) return;
  uint8_t access = payload[1] & 0xC0;
  if (access != kGet && access != kSet) return;
  SimEntityKey key{payload[0], static_cast<uint8_t>(payload[1] & 0x3F), static_cast<uint8_t>(payload[2] & 0x1F), -1};
  size_t at = 3;
  if (TakesSubindex(key) && length > 3) {
    key.subindex = payload[3];
    at = 4;
  }
  std::vector<uint8_t> head = ErrorHead(payload, length);
  auto error = [&](uint8_t code) {
    std::vector<uint8_t> reply = head;
    reply.push_back(code);
    replies->push_back({reply});
  };
  auto it = entities_.find(key);
  if (it == entities_.end()) return error(aErrInvalidOption);
  SimEntity& entity = it->second;
  if (entity.error != 0) return error(entity.error);
  if (access == kGet ? !entity.gettable : !entity.settable) return error(aErrPermission);
  if (access == kGet) return Get(key, entity, replies);

  const uint8_t* value = payload + at;
  size_t size = length - at;
  if (entity.width == SimWidth::kBytes) {
    if (size == 0) return error(aErrSize);
    return SetBytes(key, entity, value, size - 1, value[size - 1], replies);
  }
  // A call carries no value; a set carries exactly its width.
  if (entity.width != SimWidth::kNone && size != static_cast<size_t>(entity.width)) return error(aErrSize);
  uint32_t stored = 0;
  for (size_t i = 0; i < size; ++i) stored = stored << 8 | value[i];
  if (entity.width != SimWidth::kNone) entity.value = stored;
  if (entity.width == SimWidth::kNone) calls_.push_back(key);
  replies->push_back({{payload[0], static_cast<uint8_t>(key.option | kAck), key.index}});
}

void SimEntityTable::Get(const SimEntityKey& key, const SimEntity& entity, std::vector<SimReply>* replies) const {
  std::vector<uint8_t> head{key.command, key.option, key.index};
  if (entity.width != SimWidth::kBytes) {
    std::vector<uint8_t> reply = head;
    sAppendValue(&reply, entity.width, entity.value);
    replies->push_back({reply});
    return;
  }
  size_t sent = 0;
  uint8_t sequence = 0;
  do {
    size_t chunk = std::min(kChunk, entity.bytes.size() - sent);
    bool more = sent + chunk < entity.bytes.size();
    std::vector<uint8_t> reply = head;
    reply.insert(reply.end(), entity.bytes.begin() + static_cast<long>(sent),
                 entity.bytes.begin() + static_cast<long>(sent + chunk));
    reply.push_back(static_cast<uint8_t>((more ? kMore : 0) | sequence));
    replies->push_back({reply});
    sent += chunk;
    sequence = (sequence + 1) & 0x7F;
    if (!more) break;
  } while (true);
}

void SimEntityTable::SetBytes(const SimEntityKey& key, SimEntity& entity, const uint8_t* data, size_t size,
                              uint8_t trailer, std::vector<SimReply>* replies) {
  Assembly& assembly = assemblies_[key];
  bool last = (trailer & kMore) == 0;
  if (!assembly.broken && (trailer & 0x7F) != assembly.next) {
    assembly.broken = true;
    replies->push_back({{key.command, static_cast<uint8_t>(key.option | kAck),
                         static_cast<uint8_t>(key.index | kErrorBit), aErrPacket}});
  }
  if (assembly.broken) {
    if (last) assemblies_.erase(key);
    return;
  }
  assembly.bytes.insert(assembly.bytes.end(), data, data + size);
  assembly.next = (assembly.next + 1) & 0x7F;
  if (!last) return;
  entity.bytes = std::move(assembly.bytes);
  assemblies_.erase(key);
  replies->push_back({{key.command, static_cast<uint8_t>(key.option | kAck), key.index}});
}
