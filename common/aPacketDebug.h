#pragma once
#include <cstdint>

#include "aError.h"

// The packet log: a bounded ring of records laid end to end, each a kind byte (1 packet sent,
// 2 packet received, 3 text; other values are kept as given), a length byte n and n data
// bytes, wrapping at the end of the buffer. When the ring is full the oldest records give
// way. One byte always stays free, so a full ring never looks empty. No lock of its own: a
// link's log is used under the link's log lock.
struct aPacketLog {
  uint8_t enabled;
  uint8_t* buffer;
  uint32_t size;
  uint32_t readIndex;   // the oldest record's first byte
  uint32_t writeIndex;  // where the next record begins
};

#define aPACKETLOG_KIND_SENT 1
#define aPACKETLOG_KIND_RECEIVED 2
#define aPACKETLOG_KIND_TEXT 3
// The length byte describes at most this many data bytes.
#define aPACKETLOG_MAX_RECORD 255

// A new empty log with a ring of size bytes, or NULL.
aPacketLog* aPacketLog_Create(uint32_t size);
// Stores one record, evicting the oldest as needed. aErrParam for an invalid log, NULL data
// or a length above 255; aErrOverrun when length + 2 >= size (nothing changes).
aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* data);
// Takes the oldest record: *length holds the buffer's capacity on entry, the record's length
// on return. aErrNotFound for an empty ring; aErrOverrun when the record does not fit (kind
// and length are set, the record stays). aErrParam for an invalid log or a NULL argument.
aErr aPacketLog_Get(aPacketLog* log, int* kind, uint32_t* length, uint8_t* data);
// Frees the log and clears the handle; NULL is accepted. Always aErrNone.
aErr aPacketLog_Destroy(aPacketLog** log);
