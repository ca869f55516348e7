#pragma once
// What the firmware-upgrade entity and the discovery probe decide about a device's reply, as
// functions on the received payload (`length` bytes, at most 28), so that tests and the fuzz
// target drive them directly. None reads beyond `length` or writes anything but its outputs.
#include <cstdint>

#include "aError.h"

// INIT [95, 0, load base (4 bytes), ...]: aErrPacket for 5 bytes or fewer, else the base.
aErr _upgrade_init_reply(const uint8_t* payload, uint8_t length, uint32_t* base);

// PREPARE status [95, 7, status, block size (2 bytes)]: aErrPacket under 5 bytes (no block
// size), aErrInvalidOption for a status other than 0, else the block size (which may be 0).
aErr _upgrade_prepare_reply(const uint8_t* payload, uint8_t length, uint16_t* blockSize);

// DATA [95, 1, count]: the count of bytes the device took, -1 for a reply without one.
int _upgrade_data_count(const uint8_t* payload, uint8_t length);

// SUM status [95, 7, status, sum (4 bytes)]: aErrNone when the status is 0 and the device's
// sum equals `sum`; aErrInvalidOption otherwise, also for a reply under 7 bytes (no sum). The
// status and the device's sum are written as far as the reply carries them (0 otherwise).
aErr _upgrade_sum_reply(const uint8_t* payload, uint8_t length, uint32_t sum, uint8_t* status,
                        uint32_t* deviceSum);

// WRITE status [95, 7, status]: aErrInvalidOption for a status other than 0 or none at all.
aErr _upgrade_write_reply(const uint8_t* payload, uint8_t length);

// The build query's reply [0x49, 0xFF, build (4 bytes)]: the build, 0 for any other shape.
uint32_t _build_number_reply(const uint8_t* payload, uint8_t length);
