#include "base64.h"

#include <cstdint>

namespace {

const char sAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Table value of every byte that is not in the alphabet.
const unsigned char sInvalid = 0xFF;

}  // namespace

static unsigned char* _build_decoding_table() {
  auto* table = static_cast<unsigned char*>(malloc(256));
  if (table == nullptr) return nullptr;
  for (int i = 0; i < 256; ++i) table[i] = sInvalid;
  for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(sAlphabet[i])] = i;
  return table;
}

// "=" may fill only the last one or two places, and only "=" may follow it.
static bool _padding_ok(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '=') continue;
    if (i + 2 < length) return false;
    if (i + 1 < length && text[i + 1] != '=') return false;
  }
  return true;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
  if (length % 4 != 0) return nullptr;
  if (length > 0 && text == nullptr) return nullptr;
  if (!_padding_ok(text, length)) return nullptr;

  size_t size = length / 4 * 3;
  if (length > 0 && text[length - 1] == '=') --size;
  if (length > 1 && text[length - 2] == '=') --size;

  unsigned char* table = _build_decoding_table();
  if (table == nullptr) return nullptr;
  auto* out = static_cast<unsigned char*>(malloc(size + 1));
  if (out == nullptr) {
    free(table);
    return nullptr;
  }
  out[size] = 0;

  size_t o = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t bits = 0;
    for (size_t k = 0; k < 4; ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      unsigned value = 0;
      if (c != '=') {
        value = table[c];
        if (value == sInvalid) {
          free(table);
          free(out);
          return nullptr;
        }
      }
      bits = (bits << 6) | value;
    }
    for (int shift = 16; shift >= 0 && o < size; shift -= 8) out[o++] = static_cast<unsigned char>(bits >> shift);
  }
  free(table);
  if (outLength) *outLength = size;
  return out;
}

char* base64_encode(const char* data, size_t length, size_t* outLength) {
  size_t size = 4 * ((length + 2) / 3);
  auto* out = static_cast<char*>(malloc(size + 1));
  if (out == nullptr) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < length; i += 3) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    uint32_t a = bytes[i];
    uint32_t b = i + 1 < length ? bytes[i + 1] : 0;
    uint32_t c = i + 2 < length ? bytes[i + 2] : 0;
    uint32_t bits = (a << 16) | (b << 8) | c;
    out[o++] = sAlphabet[(bits >> 18) & 0x3F];
    out[o++] = sAlphabet[(bits >> 12) & 0x3F];
    out[o++] = i + 1 < length ? sAlphabet[(bits >> 6) & 0x3F] : '=';
    out[o++] = i + 2 < length ? sAlphabet[bits & 0x3F] : '=';
  }
  out[size] = '\0';
  if (outLength) *outLength = size;
  return out;
}
