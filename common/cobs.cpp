#include "cobs.h"

#include <cstring>

namespace {

constexpr size_t kFullBlock = 254;  // data bytes of a 0xFF block

}  // namespace

size_t cobs_encode(const uint8_t* input, size_t length, uint8_t* output) {
  size_t codeAt = 0;
  size_t out = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    if (input[i] != 0) {
      output[out++] = input[i];
      if (++code != 0xFF) continue;
    }
    output[codeAt] = code;
    codeAt = out++;
    code = 1;
  }
  output[codeAt] = code;
  return out;
}

// Works from the end: every output byte lies at or after the input byte it comes from, so going
// backwards never overwrites input that is still to be read, whatever the input's length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
  size_t total = length + 1;
  size_t run = 0;
  for (size_t i = 0; i < length; ++i) {
    run = buffer[i] == 0 ? 0 : run + 1;
    if (run == kFullBlock) {
      ++total;
      run = 0;
    }
  }

  size_t write = total;
  size_t end = length;  // end of the current zero-free segment
  for (;;) {
    size_t start = end;
    while (start > 0 && buffer[start - 1] != 0) --start;
    size_t full = (end - start) / kFullBlock;
    size_t rest = end - start - full * kFullBlock;
    write -= rest;
    memmove(buffer + write, buffer + start + full * kFullBlock, rest);
    buffer[--write] = static_cast<uint8_t>(rest + 1);
    while (full-- > 0) {
      write -= kFullBlock;
      memmove(buffer + write, buffer + start + full * kFullBlock, kFullBlock);
      buffer[--write] = 0xFF;
    }
    if (start == 0) break;
    end = start - 1;  // the zero that ended the previous segment is its block's code now
  }
  return total;
}

// The output never runs ahead of the input, so a forward byte copy is safe in place.
size_t cobs_decode(const uint8_t* input, size_t length, uint8_t* output) {
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    uint8_t code = input[in];
    if (code == 0 || code > length - in) return 0;
    ++in;
    for (uint8_t k = 1; k < code; ++k) output[out++] = input[in++];
    if (code != 0xFF && in < length) output[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) { return cobs_decode(buffer, length, buffer); }
