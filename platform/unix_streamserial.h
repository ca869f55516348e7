#pragma once
#include <cstdint>

#include "aStream.h"

// Serial ports as streams, opened raw (no echo, no line editing, no output processing), with
// reads that return at once (nothing there: aErrNotReady) and writes that wait until the line
// has sent them, as long as it keeps taking bytes: after a second in which no byte went out a
// write gives up with aErrTimeout (part of the block may have gone). Deleting the stream puts
// the port's earlier settings back and closes it.
//
// baudIndex 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400.
// dataBits 0: 8 bits, 1: 7 bits; stopBits 0: one, 1: two; parity: even parity when set.
//
// Results: aErrResource for a NULL port or out, a line code or baud index out of range and a
// port name of 4096 characters or more (nothing opened); aErrNotFound when the port does not
// exist, aErrPermission when it may not be opened, aErrIO for any other failure to open or set
// it up (the port is closed again). *out is NULL on every failure.
// A vanished port (hung up) makes get and write answer aErrIO.

#define aSERIAL_BAUD_COUNT 8
// The rates of the baud indexes, in order: also the only rates of serial links.
inline constexpr uint32_t kSerialBaudRates[aSERIAL_BAUD_COUNT] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// A stream of raw bytes.
aErr aStream_CreateSerial(const char* port, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** out);
// A stream of packets, each in a COBS frame with a CRC-8 (see aStream_CobsEncoding.h).
aErr aStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** out);
