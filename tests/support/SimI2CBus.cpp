#include "SimI2CBus.h"

#include "aError.h"

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kHeader = 5;
constexpr uint8_t kMaxData = 23;
constexpr uint8_t kMissing = 0x80 | aErrNotFound;

}  // namespace

void SimI2CBus::SetSlave(uint8_t bus, uint8_t address, SimI2CSlave slave) {
  slaves_[{bus, static_cast<uint8_t>(address & 0xFE)}] = std::move(slave);
}

std::vector<uint8_t> SimI2CBus::Written(uint8_t bus, uint8_t address) const {
  auto it = written_.find({bus, static_cast<uint8_t>(address & 0xFE)});
  return it == written_.end() ? std::vector<uint8_t>{} : it->second;
}

std::optional<bool> SimI2CBus::Pullup(uint8_t bus) const {
  auto it = pullups_.find(bus);
  if (it == pullups_.end()) return std::nullopt;
  return it->second;
}

void SimI2CBus::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 4 || payload[0] != kI2CCommand) return;
  uint8_t bus = payload[1];
  uint8_t address = payload[2];
  if (length == 4 && address == kPullup) {
    pullups_[bus] = payload[3] != 0;
    replies->push_back({{kI2CCommand, bus, kPullup, payload[3], 0}});
    return;
  }
  if (length < kHeader) return;
  uint8_t asked = payload[3];
  auto it = slaves_.find({bus, static_cast<uint8_t>(address & 0xFE)});
  uint8_t status = it == slaves_.end() ? kMissing : it->second.status;
  if ((address & 1) == 0) {
    if (it != slaves_.end()) {
      std::vector<uint8_t>& into = written_[{bus, address}];
      into.insert(into.end(), payload + kHeader, payload + length);
    }
    replies->push_back({{kI2CCommand, bus, address, 0, status}});
    return;
  }
  std::vector<uint8_t> reply{kI2CCommand, bus, address, 0, status};
  if (it == slaves_.end() || asked > kMaxData) {
    replies->push_back({reply});
    return;
  }
  const SimI2CSlave& slave = it->second;
  std::vector<uint8_t> data = slave.data;
  uint8_t count = asked;
  size_t carried = asked;
  switch (slave.shape) {
    case SimI2CSlave::Shape::kRight:
      break;
    case SimI2CSlave::Shape::kCountAboveAsked:
      count = static_cast<uint8_t>(asked + 1);
      carried = count;
      break;
    case SimI2CSlave::Shape::kCountAboveCarried:
      carried = asked > 0 ? asked - 1u : 0u;
      break;
  }
  if (carried > kMaxData) carried = kMaxData;  // a packet holds no more
  data.resize(carried, 0);
  reply[3] = count;
  reply.insert(reply.end(), data.begin(), data.end());
  replies->push_back({reply});
}
