// A sequence of packets fed to the byte-sequence receive filter as a transfer would feed them,
// into a heap buffer of exactly the capacity. Input: capacity (1 to 64), the record's module,
// command, option and index, then packets: address, length (modulo 29), that many payload bytes.
// The count never exceeds the capacity, every counted byte is where the write position says,
// and nothing is written outside the buffer.
#include <cstdint>
#include <cstring>
#include <memory>

#include "EntityClass.h"
#include "FuzzCheck.h"
#include "FuzzPacket.h"

using namespace Tavrin::Corvantis;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  size_t capacity = data[0] % 64 + 1;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
  memset(buffer.get(), 0xEE, capacity);
  size_t count = 0;
  uei state{};
  state.module = data[1];
  state.command = data[2];
  state.option = data[3];
  state.index = data[4];
  state.length = capacity;
  state.value.data = buffer.get();
  state.count = &count;
  size_t at = 5;
  while (at + 2 <= size) {
    uint8_t length = static_cast<uint8_t>(data[at + 1] % (aPACKET_MAX_DATA + 1));
    if (at + 2 + length > size) break;
    aPacket packet = FuzzPacket(data[at], data + at + 2, length, 0);
    at += 2u + length;

    uint8_t sequence = state.sequence;
    size_t before = count;
    uint8_t* position = state.value.data;
    uint8_t taken = EntityClass::sUEIBytesFilter(&packet, &state);
    CHECK(count <= capacity);
    if (!taken) {
      // Left queued: nothing changed.
      CHECK(count == before && state.value.data == position && state.sequence == sequence);
      continue;
    }
    if ((state.index & 0x80) != 0) break;  // the transfer ends with an error
    CHECK(count >= before);
    CHECK(state.value.data == buffer.get() + count);
    CHECK(memcmp(buffer.get() + before, packet.payload + 3, count - before) == 0);
    if (!state.more) break;
    state.sequence = static_cast<uint8_t>((state.sequence + 1) % 128);
  }
  return 0;
}
