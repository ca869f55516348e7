// Feeds arbitrary bytes to one packet record. Byte 0 picks how the caller resets: after an
// error (and after each complete packet), never, or only after a complete packet.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aPacket.h"

#include "FuzzCheck.h"

namespace {
enum Mode { kResetAfterError, kNeverReset, kResetAfterComplete };
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Mode mode = static_cast<Mode>(data[0] % 3);
  // Allocated alone, so that the sanitizer sees any write outside the record.
  aPacket* packet = aPacket_Create();
  CHECK(packet != nullptr);

  std::vector<uint8_t> sinceReset;
  bool refused = false;    // a byte since the reset was refused
  bool completed = false;  // the packet was complete since the reset
  size_t fed = 0;          // bytes since creation, for the never-reset mode
  for (size_t i = 1; i < size; ++i) {
    aPacket before = *packet;
    aErr err = aPacket_AddByte(packet, data[i]);
    sinceReset.push_back(data[i]);
    ++fed;
    CHECK(packet->count <= 31);
    CHECK(packet->check == aPACKET_CHECK);
    if (mode == kNeverReset && fed > 30) {
      CHECK(err == aErrOverrun);
      CHECK(memcmp(&before.address, &packet->address, 2 + aPACKET_MAX_DATA) == 0);
    }
    if (err != aErrNone) refused = true;

    if (aPacket_IsComplete(packet)) {
      CHECK(packet->length <= aPACKET_MAX_DATA);
      uint8_t wire[aPACKET_MAX_WIRE];
      size_t count = 0;
      CHECK(aPacket_GetBytes(packet, wire, sizeof wire, &count) == aErrNone);
      CHECK(count == packet->length + 2u);
      // The bytes since the reset are the packet, as long as the caller kept its side: the
      // count also counts a refused byte, so after an error without a reset the fields no
      // longer line up with what was fed; and a byte fed after a complete packet of length 0
      // is a new length byte.
      if (!refused && !completed) {
        CHECK(sinceReset.size() == count);
        CHECK(memcmp(wire, sinceReset.data() + sinceReset.size() - count, count) == 0);
      }
      completed = true;
      if (mode != kNeverReset) {
        CHECK(aPacket_Reset(packet) == aErrNone);
        sinceReset.clear();
        refused = completed = false;
      }
    } else if (err != aErrNone && mode == kResetAfterError) {
      CHECK(aPacket_Reset(packet) == aErrNone);
      sinceReset.clear();
      refused = completed = false;
    }
    // Whatever state it is in, the wire form never reads beyond the record.
    uint8_t wire[aPACKET_MAX_WIRE];
    aErr got = aPacket_GetBytes(packet, wire, sizeof wire, nullptr);
    CHECK(got == aErrNone || got == aErrPacket);
    CHECK((got == aErrPacket) == (packet->length > aPACKET_MAX_DATA));
  }
  CHECK(aPacket_Destroy(&packet) == aErrNone);
  return 0;
}
