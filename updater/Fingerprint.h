#pragma once
#include <cstdint>

// A chip's unique identifier as its boot loader or recovery loader reports it; word 0 first.
struct Fingerprint {
  uint32_t word[4];
};
