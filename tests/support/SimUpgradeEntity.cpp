#include "SimUpgradeEntity.h"

#include <algorithm>

#include "PacketHelpers.h"

namespace {

constexpr uint8_t kCommand = 95;
enum : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6, kStatus = 7 };
constexpr uint8_t kDataOption = 10;
constexpr uint8_t kSetBit = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kMore = 0x80;

void sPut32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

std::vector<uint8_t> SimUpgradeEntity::Read(const std::vector<Stretch>& memory, uint32_t address, size_t length) {
  std::vector<uint8_t> out(length, 0xFF);
  for (const Stretch& s : memory) {
    for (size_t i = 0; i < s.bytes.size(); ++i) {
      uint64_t at = static_cast<uint64_t>(s.address) + i;
      if (at >= address && at < static_cast<uint64_t>(address) + length) out[at - address] = s.bytes[i];
    }
  }
  return out;
}

const SimUpgradeFault* SimUpgradeEntity::Meet(uint8_t sub) {
  uint32_t seen = ++seen_[sub];
  for (ActiveFault& active : faults_) {
    const SimUpgradeFault& f = active.fault;
    if (f.sub != sub || seen <= f.after) continue;
    if (f.times != 0 && active.used >= f.times) continue;
    ++active.used;
    return &f;
  }
  return nullptr;
}

void SimUpgradeEntity::Take(const uint8_t* data, size_t size) {
  piece_.insert(piece_.end(), data, data + size);
  for (size_t i = 0; i < size; ++i) sum_ += data[i];
  if (loaderRunning_) return;
  // The loader runs from where it was put: no write commits it.
  std::vector<Stretch>& ram = ram_;
  if (!ram.empty() && ram.back().address + ram.back().bytes.size() == address_ + piece_.size() - size) {
    ram.back().bytes.insert(ram.back().bytes.end(), data, data + size);
  } else {
    ram.push_back({static_cast<uint32_t>(address_ + piece_.size() - size), std::vector<uint8_t>(data, data + size)});
  }
}

SimDeviceEvent SimUpgradeEntity::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 2 || payload[0] != kCommand) return SimDeviceEvent::kNone;
  const uint8_t sub = payload[1];
  const bool dataSet = sub == (kDataOption | kSetBit);
  // A byte sequence is one request, complete with its last packet.
  const bool sequenceGoesOn = dataSet && length >= 4 && (payload[length - 1] & kMore) != 0;
  const SimUpgradeFault* fault = sequenceGoesOn ? nullptr : Meet(dataSet ? kDataOption : sub);
  using K = SimUpgradeFault::Kind;
  if (fault != nullptr && fault->kind == K::kVanish) {
    replies->push_back({{}, 0, 0, SimDeviceEvent::kVanish});
    return SimDeviceEvent::kVanish;
  }

  std::vector<uint8_t> reply{kCommand};
  SimDeviceEvent event = SimDeviceEvent::kNone;
  bool answer = true;
  if (dataSet) {
    // [95, 0x8A, 0x20, bytes, trailer]: bit 7 of the trailer says more follow.
    if (length < 4) return SimDeviceEvent::kNone;
    uint8_t trailer = payload[length - 1];
    if ((trailer & 0x7F) == 0) {
      sequence_.clear();
      nextSequence_ = 0;
      sequenceBroken_ = false;
    }
    if ((trailer & 0x7F) != nextSequence_) sequenceBroken_ = true;
    nextSequence_ = static_cast<uint8_t>((nextSequence_ + 1) & 0x7F);
    sequence_.insert(sequence_.end(), payload + 3, payload + length - 1);
    if ((trailer & kMore) != 0) return SimDeviceEvent::kNone;
    // A broken sequence is dropped whole and never acknowledged.
    if (sequenceBroken_) return SimDeviceEvent::kNone;
    Take(sequence_.data(), sequence_.size());
    sequence_.clear();
    reply = {kCommand, static_cast<uint8_t>(kDataOption | kAck), 0x00};
  } else {
    switch (sub) {
      case kInit:
        reply.push_back(kInit);
        sPut32(reply, options_.base);
        break;
      case kData: {
        size_t n = length - 2;
        if (fault != nullptr && fault->kind == K::kWrongCount) {
          reply.insert(reply.end(), {kData, static_cast<uint8_t>(n - 1)});
          break;
        }
        Take(payload + 2, n);
        reply.insert(reply.end(), {kData, static_cast<uint8_t>(n)});
        break;
      }
      case kLoad:
        loaderRunning_ = true;
        event = SimDeviceEvent::kLoad;
        answer = options_.answerLoad;
        reply.push_back(kLoad);
        break;
      case kPrepare: {
        reply.push_back(kStatus);
        if (length < 7) {
          reply.insert(reply.end(), {1, 0, 0});
          break;
        }
        address_ = BigEndian32(payload + 3);
        piece_.clear();
        sum_ = 0;
        uint16_t size = fault != nullptr && fault->kind == K::kBlockSizeZero ? 0 : options_.blockSize;
        reply.insert(reply.end(), {0, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
        break;
      }
      case kSum:
        reply.insert(reply.end(), {kStatus, 0});
        sPut32(reply, fault != nullptr && fault->kind == K::kWrongSum ? sum_ + 1 : sum_);
        sum_ = 0;
        break;
      case kWrite: {
        uint8_t status = 1;
        if (length >= 4 && static_cast<size_t>(payload[2] << 8 | payload[3]) == piece_.size()) {
          flash_.push_back({address_, piece_});
          address_ += static_cast<uint32_t>(piece_.size());
          status = 0;
        }
        piece_.clear();
        sum_ = 0;
        reply.insert(reply.end(), {kStatus, status});
        break;
      }
      case kReboot:
        loaderRunning_ = false;
        replies->push_back({{}, 0, 0, SimDeviceEvent::kReboot});
        return SimDeviceEvent::kReboot;
      default:
        return SimDeviceEvent::kNone;
    }
  }

  SimReply out{reply};
  if (fault != nullptr) {
    switch (fault->kind) {
      case K::kNoReply:
        answer = false;
        break;
      case K::kLate:
        out.delayMs = fault->value;
        break;
      case K::kStatus:
        if (out.payload.size() > 2 && out.payload[1] == kStatus) out.payload[2] = static_cast<uint8_t>(fault->value);
        break;
      case K::kShort:
        out.payload.resize(std::min<size_t>(out.payload.size(), fault->value));
        break;
      default:
        break;
    }
  }
  if (answer) replies->push_back(std::move(out));
  if (event != SimDeviceEvent::kNone) replies->push_back({{}, 0, 0, event});
  return event;
}
