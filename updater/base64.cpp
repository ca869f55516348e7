#include "base64.h"

#include <cstdint>
#include <cstring>

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
  if (length < 2) return length == 0 || text[0] != '=';
  if (memchr(text, '=', length - 2) != nullptr) return false;
  return text[length - 2] != '=' || text[length - 1] == '=';
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

  // Every group but the last holds no "=" (checked above): four lookups, three bytes, and
  // one test per group, since an invalid character sets bit 7 of the OR of the values.
  size_t groups = length / 4;
  size_t o = 0;
  unsigned bad = 0;
  for (size_t g = 0; g + 1 < groups; ++g) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text) + 4 * g;
    unsigned a = table[in[0]], b = table[in[1]], c = table[in[2]], d = table[in[3]];
    bad |= a | b | c | d;
    uint32_t bits = (a << 18) | (b << 12) | (c << 6) | d;
    out[o++] = static_cast<unsigned char>(bits >> 16);
    out[o++] = static_cast<unsigned char>(bits >> 8);
    out[o++] = static_cast<unsigned char>(bits);
  }
  if (groups > 0) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text) + 4 * (groups - 1);
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      unsigned value = in[k] == '=' ? 0 : table[in[k]];
      bad |= value;
      bits = (bits << 6) | (value & 0x3F);
    }
    for (int shift = 16; shift >= 0 && o < size; shift -= 8) out[o++] = static_cast<unsigned char>(bits >> shift);
  }
  if (bad & 0x80) {
    free(table);
    free(out);
    return nullptr;
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
