#pragma once
// The stream of a client link: each packet the link writes goes to a link server's frontend as
// one message, and the bytes of the replies and stream batches that come back are handed to the
// link's reader one at a time. A relay actor owns the connection to the server, so that the
// reader and the writer never share a socket.
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aStream.h"

// A client stream to the server at address (IPv4, network byte order) and port. The connection
// is made in the background: with no server there the creation still succeeds and gets give
// aErrNotReady once a second. aErrParam for a NULL out; aErrMemory, aErrConnection or
// aErrResource when a part cannot be made (*out NULL, nothing left).
//
// Get: a byte of the current frame, waiting up to 1 s for one (aErrNotReady); an empty frame
// gives aErrIndexRange. Write: a block of whole packets, one message each; a block that ends
// inside a packet, or holds a length byte above 28, sends its whole packets and gives aErrPacket;
// a packet the relay cannot take within 100 tries gives aErrWrite. Put: aErrUnimplemented.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** out);

// The write's split of a block into packets, without sockets: the size of the whole packet at
// the start of data (2 to 30 bytes), or 0 when the block has none there (fewer than 2 bytes, a
// length byte above 28, or a packet cut short).
size_t aStreamClient_PacketSize(const uint8_t* data, size_t length);
