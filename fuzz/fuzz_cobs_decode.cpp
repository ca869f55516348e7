// COBS decoding on exact-size buffers, the encode/decode round trip, and the framing stream's
// read side against the test kit's independent peer framing.
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "PeerFraming.h"
#include "aStream_CobsEncoding.h"
#include "cobs.h"

namespace {

// An underlying kind that hands out the input, then nothing more.
struct Line {
  const uint8_t* data;
  size_t size;
  size_t at;
};

aErr sLineGet(uint8_t* byte, void* ref) {
  Line* line = static_cast<Line*>(ref);
  if (line->at == line->size) return aErrNotReady;
  *byte = line->data[line->at++];
  return aErrNone;
}

void sDecodeBoth(const uint8_t* data, size_t size) {
  // Heap blocks of exactly the input's size: the sanitizer sees any access beyond them.
  std::unique_ptr<uint8_t[]> input(new uint8_t[size + (size == 0)]);
  std::unique_ptr<uint8_t[]> output(new uint8_t[size + (size == 0)]);
  if (size > 0) memcpy(input.get(), data, size);
  size_t decoded = cobs_decode(input.get(), size, output.get());
  size_t inPlace = cobs_decode_inplace(input.get(), size);
  CHECK(decoded == inPlace);
  CHECK(decoded <= size);
  CHECK(memcmp(output.get(), input.get(), decoded) == 0);
}

void sRoundTrip(const uint8_t* data, size_t size) {
  if (size > 300) size = 300;
  std::vector<uint8_t> encoded(size + 2 + size / 254);
  size_t length = cobs_encode(data, size, encoded.data());
  CHECK(length <= encoded.size());
  CHECK(memchr(encoded.data(), 0, length) == nullptr);
  std::vector<uint8_t> back(length);
  CHECK(cobs_decode(encoded.data(), length, back.data()) == size);
  CHECK(size == 0 || memcmp(back.data(), data, size) == 0);
}

// Every delivered packet is one of the peer's good frames, and the other way round.
void sFramingGet(const uint8_t* data, size_t size) {
  Line line = {data, size, 0};
  aStream* stream = nullptr;
  CHECK(aStream_CreateCobsEncoding(sLineGet, nullptr, nullptr, nullptr, &line, &stream) == aErrNone);
  std::vector<std::vector<uint8_t>> delivered;
  std::vector<uint8_t> packet;
  for (size_t calls = 0; calls < 2 * size + 4; ++calls) {
    uint8_t byte = 0;
    aErr err = aStream_Read(stream, &byte, 1);
    CHECK(err == aErrNone || err == aErrNotReady || err == aErrPacket);
    if (err == aErrNone) {
      packet.push_back(byte);
      continue;
    }
    if (!packet.empty()) delivered.push_back(packet);
    packet.clear();
  }
  CHECK(packet.empty());
  CHECK(aStream_Destroy(&stream) == aErrNone);

  std::vector<std::vector<uint8_t>> good;
  PeerDeframer peer;
  for (const PeerDeframer::Frame& frame : peer.Feed(data, size)) {
    if (frame.good) good.push_back(frame.wire);
  }
  CHECK(delivered == good);
  for (const std::vector<uint8_t>& wire : delivered) {
    CHECK(wire.size() >= 2);
    CHECK(wire[1] <= 28);
    CHECK(wire.size() == wire[1] + 2u);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sDecodeBoth(data, size);
  sRoundTrip(data, size);
  sFramingGet(data, size);
  return 0;
}
