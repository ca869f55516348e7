#pragma once
#include <cstdint>

#include "aError.h"
#include "aStream.h"

// Seconds a connect may take.
#define CONNECT_TIMEOUT_SEC 5
// Milliseconds between write attempts.
#define aSOCKET_RETRY_DELAY_MS 60
// Counted write attempts.
#define aSOCKET_MAX_SEND_RETRY 10

// A TCP client stream to an IPv4 address (network byte order) and port (host byte order):
// a connect bounded by CONNECT_TIMEOUT_SEC, then a non-blocking socket read one byte at a
// time and written in blocks. A connection the peer resets is made again by the next get or
// write; a peer that closes its side leaves a get answering aErrNotReady. Every failure gives
// aErrResource with the handle NULL and nothing left open.
//
// The reader and the writer may use the stream at the same time (one each); either may make
// the connection again, and the other then goes on over the new connection.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

// Releases a socket stream's state without closing its socket, for sockets owned elsewhere.
// aErrIO for an invalid state.
aErr sSocketStreamAcceptDelete(void* ref);
