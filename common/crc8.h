#pragma once
#include <cstddef>
#include <cstdint>

// CRC-8 of the serial framing: the Dallas/Maxim 1-Wire CRC (polynomial 0x31 reflected, initial
// value 0, no final XOR; "123456789" gives 0xA1).

// The next CRC after one more byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);
// The CRC of the bytes, starting from 0; 0 for no bytes.
uint8_t crc8_create(const uint8_t* data, size_t length);
// Whether the CRC of the bytes is `crc`.
bool crc8_check(const uint8_t* data, size_t length, uint8_t crc);
