#pragma once
#include <cstddef>
#include <cstdint>

// Consistent Overhead Byte Stuffing: blocks of a code byte c and c - 1 non-zero data bytes; a
// code below 0xFF stands for its data and a zero, except in the last block; 0xFF stands for 254
// data bytes and no zero. An input of n bytes encodes to n + 1 + n / 254 bytes (an input of 254
// non-zero bytes ends with an empty 01 block).

// Writes the encoding of `length` input bytes into `output`; returns its length.
size_t cobs_encode(const uint8_t* input, size_t length, uint8_t* output);
// Replaces the first `length` bytes of the buffer by their encoding, which is longer: the buffer
// must hold length + 1 + length / 254 bytes. Returns the encoded length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);
// Writes the decoding of `length` encoded bytes into `output` (never more than length - 1 bytes)
// and returns its length; 0 when a code byte is zero or promises more bytes than remain.
size_t cobs_decode(const uint8_t* input, size_t length, uint8_t* output);
// cobs_decode with the output in the input buffer.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
