#include "UpgradeReplies.h"

#include "LinkChecks.h"
#include "aUEI.h"

namespace {

constexpr uint8_t kStatusAt = 2;
constexpr uint8_t kValueAt = 3;

}  // namespace

aErr _upgrade_init_reply(const uint8_t* payload, uint8_t length, uint32_t* base) {
  if (payload == nullptr || length <= 5) return aErrPacket;
  *base = aUEI_RetrieveInt(payload + 2);
  return aErrNone;
}

aErr _upgrade_prepare_reply(const uint8_t* payload, uint8_t length, uint16_t* blockSize) {
  if (payload == nullptr || length < 5) return aErrPacket;
  if (payload[kStatusAt] != 0) return aErrInvalidOption;
  *blockSize = static_cast<uint16_t>(payload[kValueAt] << 8 | payload[kValueAt + 1]);
  return aErrNone;
}

int _upgrade_data_count(const uint8_t* payload, uint8_t length) {
  if (payload == nullptr || length <= kStatusAt) return -1;
  return payload[kStatusAt];
}

aErr _upgrade_sum_reply(const uint8_t* payload, uint8_t length, uint32_t sum, uint8_t* status,
                        uint32_t* deviceSum) {
  *status = payload != nullptr && length > kStatusAt ? payload[kStatusAt] : 0;
  *deviceSum = 0;
  // Without the whole sum there is nothing to compare: a refusal.
  if (payload == nullptr || length < kValueAt + 4) return aErrInvalidOption;
  *deviceSum = aUEI_RetrieveInt(payload + kValueAt);
  return *status == 0 && *deviceSum == sum ? aErrNone : aErrInvalidOption;
}

aErr _upgrade_write_reply(const uint8_t* payload, uint8_t length) {
  if (payload == nullptr || length <= kStatusAt) return aErrInvalidOption;
  return payload[kStatusAt] == 0 ? aErrNone : aErrInvalidOption;
}

uint32_t _build_number_reply(const uint8_t* payload, uint8_t length) {
  uint32_t build = 0;
  if (payload == nullptr || Tavrin::Corvantis::sBuildReply(payload, length, &build) != aErrNone) return 0;
  return build;
}
