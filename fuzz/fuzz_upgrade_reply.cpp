// The firmware-upgrade entity's reply checks (INIT, PREPARE, DATA, SUM, WRITE) and the probe's
// build reply against arbitrary payloads. Input: the check (first byte, modulo 6), then the
// payload (at most 28 bytes) in a heap buffer of its exact size. For SUM the first byte's next
// bit says whether the running sum agrees with the reply's. Nothing is read outside the payload.
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzCheck.h"
#include "UpgradeReplies.h"
#include "aPacket.h"

namespace {

uint32_t sWord(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
         at[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > aPACKET_MAX_DATA) return 0;
  const uint8_t check = data[0] % 6;
  const uint8_t length = static_cast<uint8_t>(size - 1);
  std::unique_ptr<uint8_t[]> reply(new uint8_t[length > 0 ? length : 1]);
  if (length > 0) memcpy(reply.get(), data + 1, length);
  const uint8_t* p = length > 0 ? reply.get() : nullptr;

  switch (check) {
    case 0: {
      uint32_t base = 0xA5A5A5A5;
      aErr err = _upgrade_init_reply(p, length, &base);
      CHECK((err == aErrNone) == (length > 5));
      CHECK(err == aErrNone ? base == sWord(p + 2) : base == 0xA5A5A5A5);
      break;
    }
    case 1: {
      uint16_t blockSize = 0xA5A5;
      aErr err = _upgrade_prepare_reply(p, length, &blockSize);
      if (length < 5) CHECK(err == aErrPacket);
      else CHECK((err == aErrNone) == (p[2] == 0));
      CHECK(err == aErrNone ? blockSize == (p[3] << 8 | p[4]) : blockSize == 0xA5A5);
      break;
    }
    case 2: {
      int count = _upgrade_data_count(p, length);
      CHECK(length > 2 ? count == p[2] : count == -1);
      break;
    }
    case 3: {
      bool agree = (data[0] / 6) % 2 == 0;
      uint32_t sum = length >= 7 ? sWord(p + 3) + (agree ? 0 : 1) : 0;
      uint8_t status = 0xA5;
      uint32_t deviceSum = 0xA5A5A5A5;
      aErr err = _upgrade_sum_reply(p, length, sum, &status, &deviceSum);
      CHECK(err == aErrNone || err == aErrInvalidOption);
      CHECK(status == (length > 2 ? p[2] : 0));
      CHECK(deviceSum == (length >= 7 ? sWord(p + 3) : 0));
      CHECK((err == aErrNone) == (length >= 7 && p[2] == 0 && agree));
      break;
    }
    case 4: {
      aErr err = _upgrade_write_reply(p, length);
      CHECK((err == aErrNone) == (length > 2 && p[2] == 0));
      break;
    }
    case 5: {
      uint32_t build = _build_number_reply(p, length);
      bool shaped = length == 6 && p[0] == 0x49 && p[1] == 0xFF;
      CHECK(build == (shaped ? sWord(p + 2) : 0));
      break;
    }
  }
  return 0;
}
