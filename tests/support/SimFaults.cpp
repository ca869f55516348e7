#include "SimFaults.h"

#include <algorithm>

void SimFaults::Add(std::vector<uint8_t> prefix, SimFault fault, bool every, uint8_t module) {
  entries_.push_back({std::move(prefix), fault, every, module});
}

void SimFaults::Apply(uint8_t module, const uint8_t* payload, size_t length, const std::vector<uint8_t>& errorHead,
                      std::vector<SimReply>* replies) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return (entry.module == 0 || entry.module == module) && entry.prefix.size() <= length &&
           std::equal(entry.prefix.begin(), entry.prefix.end(), payload);
  });
  if (it == entries_.end()) return;
  SimFault fault = it->fault;
  if (!it->every) entries_.erase(it);

  switch (fault.kind) {
    case SimFault::Kind::kNoReply:
      replies->clear();
      break;
    case SimFault::Kind::kLate:
      for (SimReply& reply : *replies) reply.delayMs += fault.ms;
      break;
    case SimFault::Kind::kLength:
      if (!replies->empty()) replies->front().payload.resize(fault.length, 0);
      break;
    case SimFault::Kind::kSender:
      for (SimReply& reply : *replies) reply.from = fault.sender;
      break;
    case SimFault::Kind::kErrorWithoutCode:
      *replies = {SimReply{errorHead}};
      break;
    case SimFault::Kind::kErrorReply: {
      std::vector<uint8_t> reply = errorHead;
      reply.push_back(fault.code);
      *replies = {SimReply{reply}};
      break;
    }
    case SimFault::Kind::kWrongSum:
      if (!replies->empty() && !replies->front().payload.empty()) ++replies->front().payload.back();
      break;
    case SimFault::Kind::kExtraLateCopy: {
      std::vector<SimReply> copies = *replies;
      for (SimReply& copy : copies) copy.delayMs += fault.ms;
      replies->insert(replies->end(), copies.begin(), copies.end());
      break;
    }
    case SimFault::Kind::kSequenceOff: {
      if (replies->empty()) break;
      SimReply& reply = replies->size() > 1 ? (*replies)[1] : replies->front();
      if (reply.payload.empty()) break;
      uint8_t& trailer = reply.payload.back();
      trailer = static_cast<uint8_t>((trailer & 0x80) | ((trailer + fault.delta) & 0x7F));
      break;
    }
    case SimFault::Kind::kVanish:
      *replies = {SimReply{{}, 0, fault.ms, SimDeviceEvent::kVanish}};
      break;
    case SimFault::Kind::kEmptyMore: {
      if (replies->empty() || replies->front().payload.size() < 3) break;
      std::vector<uint8_t> head(replies->front().payload.begin(), replies->front().payload.begin() + 3);
      replies->clear();
      for (size_t n = 0; n < fault.length; ++n) {
        std::vector<uint8_t> packet = head;
        packet.push_back(static_cast<uint8_t>(0x80 | (n % 128)));
        replies->push_back(SimReply{packet});
      }
      break;
    }
  }
}
