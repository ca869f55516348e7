#pragma once
#include <cstddef>
#include <cstdint>

#include "aPacket.h"

// Big-endian values inside payloads (first byte high).
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Turns each word in place from four big-endian bytes into the host's value.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// The trailer byte of a multi-packet byte transfer is the last payload byte: bit 7 "more
// follows", bits 6..0 the sequence number. NULL or an empty payload gives 0.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// Length 27 or 28: a full byte-transfer packet.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Commands that do not follow the entity layout of option and index; false for NULL.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// The negation of aUEI_isNotUEIPayload, so true for NULL.
bool aUEI_isUEIPayload(const aPacket* packet);
// A stream value packet: length above 4, an entity command, bits 7 and 6 of payload[1]
// clear, bit 6 of payload[2] set.
bool aUEI_isStreamPacket(const aPacket* packet);
