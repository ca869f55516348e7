#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// Thread-safe packet queues, named by ids issued from 1 (0 means none). Packets are copied
// in and out: every packet a take returns belongs to the caller, who destroys it.
typedef uint64_t aPacketFifoId;

// Non-zero when the packet matches. Runs under the FIFO's lock: it must not call back into
// the same FIFO.
typedef uint8_t (*aPacketMatchProc)(const aPacket* packet, const void* ref);

// A FIFO holds at most this many packets; the put that would pass it empties the FIFO.
#define aPACKETFIFO_LIMIT 1000

// The id of a new empty FIFO; 0 when it cannot be made.
aPacketFifoId aPacketFifo_Create();
// Empties and closes the FIFO, wakes its waiters and sets the id to 0. aErrParam for a NULL
// address, aErrNotFound for an unknown id (left unchanged).
aErr aPacketFifo_Destroy(aPacketFifoId* id);
// Queues a copy; the caller keeps its packet. aErrParam for an unknown or destroyed id or an
// invalid packet.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);
// The oldest packet, or NULL; never waits.
aPacket* aPacketFifo_Get(aPacketFifoId id);
// The oldest packet, waiting up to `ms` for one; NULL on time-out, for an unknown id and when
// the FIFO is destroyed meanwhile. A time-out of 2^40 ms or more waits without a deadline.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t ms);
// The oldest packet that `match` accepts, or NULL; never waits.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketMatchProc match, const void* ref);
// The first packet that `match` accepts, waiting up to `ms`; each packet is offered at most
// once per call, in arrival order.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketMatchProc match, const void* ref,
                                uint64_t ms);
// Removes and frees every queued packet that `match` accepts; how many it removed.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketMatchProc match, const void* ref);
// Queued packets; 0 for an unknown id.
size_t aPacketFifo_GetLength(aPacketFifoId id);
