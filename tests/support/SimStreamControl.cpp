#include "SimStreamControl.h"

#include <algorithm>

namespace {

constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kEnable = 0x81;
constexpr uint8_t kDisable = 0x82;
constexpr uint8_t kStreamingQuery = 0x41;
constexpr uint8_t kErrorBit = 0x80;

bool sCovers(uint8_t wanted, uint8_t element) { return wanted == kAny || wanted == element; }

}  // namespace

void SimStreamControl::SetAnswer(Answer answer, uint8_t refusalCode) {
  answer_ = answer;
  refusal_ = refusalCode;
}

void SimStreamControl::Handle(const uint8_t* payload, size_t length, std::vector<SimReply>* replies) {
  if (length < 3 || payload[0] != kStreamCommand) return;
  if (payload[1] == kStreamingQuery) {
    replies->push_back({{kStreamCommand, 0x01, 0x00, static_cast<uint8_t>(keys_.empty() ? 0 : 1)}});
    return;
  }
  if ((payload[1] != kEnable && payload[1] != kDisable) || length != 7) return;
  uint8_t ack = static_cast<uint8_t>(payload[1] | 0x40);
  if (answer_ == Answer::kSilent) return;
  if (answer_ == Answer::kRefuse) {
    replies->push_back({{kStreamCommand, ack, kErrorBit, refusal_}});
    return;
  }
  Key key{payload[3], payload[4], payload[5], payload[6]};
  if (payload[1] == kEnable) {
    keys_.insert(key);
  } else if (!goOn_) {
    // A disable takes the key and every key it covers.
    std::erase_if(keys_, [&](const Key& k) {
      return std::get<0>(k) == std::get<0>(key) && sCovers(std::get<1>(key), std::get<1>(k)) &&
             sCovers(std::get<2>(key), std::get<2>(k)) && sCovers(std::get<3>(key), std::get<3>(k));
    });
  }
  replies->push_back({{kStreamCommand, ack, 0x00}});
}

bool SimStreamControl::Streams(uint8_t module, uint8_t command, uint8_t option, uint8_t index) const {
  return std::any_of(keys_.begin(), keys_.end(), [&](const Key& k) {
    return std::get<0>(k) == module && sCovers(std::get<1>(k), command) && sCovers(std::get<2>(k), option) &&
           sCovers(std::get<3>(k), index);
  });
}
