#include "SimEntityStore.h"

#include "aError.h"

namespace {

constexpr uint8_t kStoreCommand = 92;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kLastOption = 2;

}  // namespace

void SimEntityStore::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 3 || payload[0] != kStoreCommand || (payload[1] & 0xC0) != kSet) return;
  uint8_t option = payload[1] & 0x3F;
  uint8_t ack = static_cast<uint8_t>(option | kAck);
  if (option > kLastOption || length != 7) {
    replies->push_back({{kStoreCommand, ack, kErrorBit, static_cast<uint8_t>(option > kLastOption ? aErrInvalidOption : aErrSize)}});
    return;
  }
  requests_.push_back({option, payload[5], payload[6]});
  replies->push_back({{kStoreCommand, ack, 0x00}});
}
