#pragma once
#include "aStream.h"

// A stream kind that frames packets for a line without packet boundaries: each packet's wire
// form gets its CRC-8, is COBS-encoded and ends with a zero byte. It sits on another kind (the
// serial port), whose procedures and state it takes.
//
// Writing: bytes of two or more go to a packet assembler; each completed packet goes out as one
// frame in one underlying write. Refused bytes (address 0, a length above 28) are dropped. A
// single byte (put) goes to the line raw.
// Reading: get delivers the wire form of each good frame byte by byte, answering aErrNotReady
// while frame bytes arrive, and aErrPacket at the delimiter of a refused frame (bad CRC, wrong
// length byte, broken COBS, more than 32 encoded bytes). Underlying failures other than
// aErrNotReady and aErrEOF come through unchanged; those two read as aErrNotReady.
// The read side and the write side share nothing: one reader and one writer may run at once.
// Its wait procedure (aStream_WaitReadable) answers at once while a decoded packet waits to be
// delivered, and otherwise passes the wait to the underlying kind's, when it has one.

#define aCOBS_MAX_ENCODED 32  // the encoding of a 31-byte frame content

// aErrParam for a NULL out; otherwise *out is first set to NULL. aErrMemory when the state
// cannot be had; aErrResource when the stream cannot be made, and then the underlying state
// stays with the caller. On success the new stream owns the underlying state. `wait` is the
// underlying kind's wait procedure, NULL when it has none.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* ref, aStream** out,
                                aStreamWaitProc wait = nullptr);
