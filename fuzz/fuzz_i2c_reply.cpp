// The I2C reply check against arbitrary replies and lengths asked. Input: the length asked
// (modulo 24), then the reply's payload (at most 28 bytes), held in a heap buffer of its exact
// size; the read buffer is exactly the length asked. Nothing is read or written outside either.
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzCheck.h"
#include "I2CClass.h"

using namespace Tavrin::Corvantis;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > aPACKET_MAX_DATA) return 0;
  uint8_t asked = data[0] % 24;
  uint8_t length = static_cast<uint8_t>(size - 1);
  std::unique_ptr<uint8_t[]> reply(new uint8_t[length > 0 ? length : 1]);
  if (length > 0) memcpy(reply.get(), data + 1, length);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[asked > 0 ? asked : 1]);
  memset(buffer.get(), 0xEE, asked > 0 ? asked : 1);

  aErr read = sI2CReply(reply.get(), length, asked, buffer.get());
  aErr status = sI2CReply(reply.get(), length, 0, nullptr);
  if (length <= 4) {
    CHECK(read == aErrPacket && status == aErrPacket);
    return 0;
  }
  CHECK(status != aErrNone || (reply[4] & 0x80) == 0);
  if (read == aErrNone) {
    uint8_t count = reply[3];
    CHECK(status == aErrNone && count <= asked && count <= length - 5);
    CHECK(count == 0 || memcmp(buffer.get(), reply.get() + 5, count) == 0);
  } else if (status == aErrNone) {
    // Only the count can be refused, and then nothing was copied.
    CHECK(read == aErrPacket);
    for (uint8_t i = 0; i < asked; ++i) CHECK(buffer[i] == 0xEE);
  }
  return 0;
}
