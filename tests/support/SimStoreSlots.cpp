#include "SimStoreSlots.h"

#include <algorithm>

#include "aError.h"

namespace {

enum : uint8_t { kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7, kClose = 8 };
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kNoHandle = 255;

bool sNamesSlot(uint8_t operation) { return operation >= kCapacity && operation <= kOpenWrite; }

}  // namespace

void SimStoreSlots::SetSlot(uint8_t store, uint8_t slot, size_t capacity, std::vector<uint8_t> contents) {
  slots_[{store, slot}] = {capacity, std::move(contents)};
}

std::vector<uint8_t> SimStoreSlots::Contents(uint8_t store, uint8_t slot) const {
  auto it = slots_.find({store, slot});
  return it == slots_.end() ? std::vector<uint8_t>{} : it->second.contents;
}

void SimStoreSlots::SetReadChunk(size_t bytes) { readChunk_ = std::clamp<size_t>(bytes, 1, 25); }

std::vector<uint8_t> SimStoreSlots::ErrorHead(const uint8_t* payload, size_t length) {
  if (length < 3) return {};
  uint8_t operation = payload[1] & 0x7F;
  std::vector<uint8_t> head{payload[0], static_cast<uint8_t>(operation | kErrorBit), payload[2]};
  if (sNamesSlot(operation) && length > 3) head.push_back(payload[3]);
  return head;
}

void SimStoreSlots::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 3) return;
  uint8_t operation = payload[1];
  auto error = [&](uint8_t code) {
    std::vector<uint8_t> reply = ErrorHead(payload, length);
    reply.push_back(code);
    replies->push_back({reply});
  };
  std::vector<uint8_t> reply(payload, payload + (sNamesSlot(operation) ? 4 : 3));
  if (sNamesSlot(operation)) {
    if (length < 4) return error(aErrParam);
    auto slot = slots_.find({payload[2], payload[3]});
    if (slot == slots_.end()) return error(aErrNotFound);
    if (operation == kCapacity || operation == kSize) {
      size_t value = operation == kCapacity ? slot->second.capacity : slot->second.contents.size();
      reply.push_back(static_cast<uint8_t>(value >> 8));
      reply.push_back(static_cast<uint8_t>(value));
      replies->push_back({reply});
      return;
    }
    while (handles_.count(nextHandle_) != 0 || nextHandle_ == kNoHandle || nextHandle_ == 0) ++nextHandle_;
    uint8_t handle = nextHandle_++;
    handles_[handle] = {slot->first, operation == kOpenWrite, 0, {}};
    ++opens_;
    reply.push_back(handle);
    replies->push_back({reply, 0, openDelayMs_});
    return;
  }
  auto open = handles_.find(payload[2]);
  if (open == handles_.end()) return error(aErrParam);
  Open& handle = open->second;
  Slot& slot = slots_[handle.slot];
  switch (operation) {
    case kRead: {
      if (handle.writing) return error(aErrMode);
      size_t take = std::min(readChunk_, slot.contents.size() - std::min(handle.position, slot.contents.size()));
      reply.insert(reply.end(), slot.contents.begin() + static_cast<long>(handle.position),
                   slot.contents.begin() + static_cast<long>(handle.position + take));
      handle.position += take;
      replies->push_back({reply});
      return;
    }
    case kWrite: {
      if (!handle.writing) return error(aErrMode);
      const uint8_t* data = payload + 3;
      size_t size = length - 3;
      if (handle.written.size() + size > slot.capacity) return error(aErrOverrun);
      uint8_t sum = 0;
      for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
      handle.written.insert(handle.written.end(), data, data + size);
      reply.push_back(sum);
      replies->push_back({reply});
      return;
    }
    case kClose:
      if (handle.writing) slot.contents = std::move(handle.written);
      handles_.erase(open);
      reply.push_back(0);
      replies->push_back({reply});
      return;
    default:
      return error(aErrParam);
  }
}
