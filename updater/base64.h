#pragma once
#include <cstddef>
#include <cstdlib>
#include <memory>

// Standard Base64 (RFC 4648, "+" and "/", "=" padding).

// The decoded bytes, malloc'd, followed by one zero byte that *outLength does not count; the
// caller frees them. Null when the length is not a multiple of 4, when a character is outside
// the alphabet, when "=" stands before the last two places or is followed by anything but "=",
// or when memory runs out. An empty text gives an empty, non-null result.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

// Zero-terminated text, malloc'd; *outLength = 4 * ceil(length / 3).
char* base64_encode(const char* data, size_t length, size_t* outLength);

struct Base64Free {
  void operator()(void* p) const { free(p); }
};
using Base64Bytes = std::unique_ptr<unsigned char, Base64Free>;
