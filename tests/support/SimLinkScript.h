#pragma once
#include <cstdint>
#include <vector>

#include "aPacket.h"

// A SimLinkDevice's answers by table: a row matches a request by the beginning of its payload
// and, when asked, by its trailer's continue flag (the last payload byte's bit 7), and gives
// its replies, each after its own delay from the request. Requests no row matches are left to
// the device's echo.
struct SimLinkReply {
  std::vector<uint8_t> wire;  // the packet as the device sends it
  uint32_t delayMs = 0;
};

struct SimLinkScriptRow {
  std::vector<uint8_t> prefix;
  int continueFlag = -1;  // -1: not looked at; 0 or 1: the flag must be this
  std::vector<SimLinkReply> replies;  // none: the request goes unanswered
};

class SimLinkScript {
 public:
  SimLinkScript() = default;
  explicit SimLinkScript(std::vector<SimLinkScriptRow> rows) : rows_(std::move(rows)) {}

  // The first row that matches, or NULL.
  const SimLinkScriptRow* Match(const aPacket* request) const;

 private:
  std::vector<SimLinkScriptRow> rows_;
};
