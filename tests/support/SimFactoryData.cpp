#include "SimFactoryData.h"

#include <algorithm>

#include "aError.h"

namespace {

constexpr uint8_t kFirstRead = 0x40;
constexpr uint8_t kFirstWrite = 0x50;
constexpr uint8_t kNextWrite = 0x10;
constexpr uint8_t kEnd = 0x20;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kChunk = 26;

}  // namespace

std::optional<std::vector<uint8_t>> SimFactoryData::Block(uint8_t kind) const {
  auto it = blocks_.find(kind);
  if (it == blocks_.end()) return std::nullopt;
  return it->second;
}

std::vector<uint8_t> SimFactoryData::ErrorHead(const uint8_t* payload, size_t length) {
  if (length < 2) return {};
  uint8_t kind = payload[1] == kEnd ? 0 : payload[1] & 0x0F;
  return {payload[0], static_cast<uint8_t>(kErrorBit | kind)};
}

void SimFactoryData::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 2) return;
  uint8_t code = payload[1];
  uint8_t kind = code & 0x0F;
  auto error = [&](uint8_t err) {
    std::vector<uint8_t> reply = ErrorHead(payload, length);
    reply.push_back(err);
    replies->push_back({reply});
    mode_ = Mode::kNone;
    pending_.clear();
  };
  const uint8_t* data = payload + 2;
  size_t size = length - 2;

  if (code == kEnd) {
    if (length < 4) return error(aErrParam);
    size_t count = static_cast<size_t>(payload[2]) << 8 | payload[3];
    // An end without a transfer (a write of no bytes) is answered and commits nothing.
    if (mode_ == Mode::kWrite) {
      if (count != pending_.size()) return error(aErrSize);
      blocks_[kind_] = std::move(pending_);
    }
    mode_ = Mode::kNone;
    pending_.clear();
    replies->push_back({{payload[0], 0x00}});
    return;
  }
  switch (code & 0xF0) {
    case kFirstRead:
    case 0x00: {
      bool first = (code & 0xF0) == kFirstRead;
      if (!first && (mode_ != Mode::kRead || kind_ != kind)) return error(aErrMode);
      auto block = blocks_.find(kind);
      if (block == blocks_.end()) return error(aErrNotFound);
      if (first) {
        mode_ = Mode::kRead;
        kind_ = kind;
        position_ = 0;
      }
      size_t take = std::min(kChunk, block->second.size() - std::min(position_, block->second.size()));
      std::vector<uint8_t> reply{payload[0], kind};
      reply.insert(reply.end(), block->second.begin() + static_cast<long>(position_),
                   block->second.begin() + static_cast<long>(position_ + take));
      position_ += take;
      replies->push_back({reply});
      return;
    }
    case kFirstWrite:
    case kNextWrite: {
      if (code >= kFirstWrite) {
        mode_ = Mode::kWrite;
        kind_ = kind;
        pending_.clear();
      } else if (mode_ != Mode::kWrite || kind_ != kind) {
        return error(aErrMode);
      }
      pending_.insert(pending_.end(), data, data + size);
      replies->push_back({{payload[0], kind}});
      return;
    }
    default:
      return error(aErrParam);
  }
}
