#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"

// The procedures of a stream kind; ref is the kind's state.
// get: aErrNone with the byte stored, aErrNotReady when no byte is there now, aErrEOF at the
// end, any other code on failure.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
// Releases the kind's state; its result is the result of aStream_Destroy.
typedef aErr (*aStreamDeleteProc)(void* ref);
// Waits up to ms until get is worth calling (a byte, the end or a failure waits): aErrNone
// then, aErrTimeout when the time ran out. Runs on the reading thread, so it belongs to the
// get path. Optional: kinds with a descriptor poll it; kinds whose get waits by itself leave
// it unset.
typedef aErr (*aStreamWaitProc)(uint32_t ms, void* ref);
// Ends the wait under way on the reading thread, or the next one when none is, at once with
// aErrNone. Safe from any thread while the stream lives. Optional: a kind that has one lets
// its reader wait long, since a stop need not wait for the wait to run out.
typedef void (*aStreamWakeProc)(void* ref);

#define aSTREAMCHECK 0x4321
#define aSTREAMBUFCHUNK 512

// A byte stream. It has no lock: one thread reads (the ring and get), one thread writes (put
// and write), so every kind keeps its get path apart from its put and write paths.
struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc deleteProc;
  void* ref;        // owned by the stream, released through deleteProc
  uint8_t* buffer;  // look-ahead ring for bytes given back; NULL until the first
  uint32_t count;   // bytes waiting in the ring
  uint64_t size;    // ring capacity; it holds at most size - 1 bytes
  uint64_t readIndex;
  uint64_t writeIndex;
  uint16_t check;  // aSTREAMCHECK while valid
  aStreamWaitProc wait;  // NULL unless the kind set one (aStream_SetWait)
  aStreamWakeProc wake;  // NULL unless the kind set one (aStream_SetWake)
};

inline bool aVALIDSTREAM(const aStream* stream) {
  return stream != nullptr && stream->check == aSTREAMCHECK;
}

// A new stream that owns ref from now on; any procedure may be NULL. NULL when memory runs out.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* ref);

// Gives the stream its kind's wait procedure (NULL removes it), before any thread reads the
// stream. aErrParam for an invalid stream.
aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait);

// Gives the stream its kind's wake procedure, before any thread reads the stream. aErrParam
// for an invalid stream.
aErr aStream_SetWake(aStream* stream, aStreamWakeProc wake);

// Ends a wait of aStream_WaitReadable early (see aStreamWakeProc). aErrMode when the kind
// cannot be woken, aErrParam for an invalid stream.
aErr aStream_Wake(aStream* stream);

// Lets a reader that met aErrNotReady sleep until a byte may be there, at most ms: aErrNone
// at once when bytes wait in the look-ahead ring or the kind has no wait procedure, else the
// procedure's answer. aErrParam for an invalid stream.
aErr aStream_WaitReadable(aStream* stream, uint32_t ms);

// Reads exactly n bytes, all or nothing: on aErrNotReady every byte taken is given back and
// a later read delivers it first. aErrEOF delivers the bytes that arrived (no count). Any
// other code from the kind drops the bytes taken. aErrMemory when bytes could not be given
// back (they are lost).
aErr aStream_Read(aStream* stream, uint8_t* destination, size_t n);

// Two bytes or more go out in one write call when the kind has one; fewer go one put call
// each. aErrMode when the procedure that this rule picks is missing.
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t n);

// Releases the kind's state and the stream and clears the handle. An invalid stream gives
// aErrParam and is left alone.
aErr aStream_Destroy(aStream** stream);

// Reads the bytes before the first complete occurrence of the delimiter (consumed, not
// stored), or maxSize bytes when the record reaches that size first; then the rest stays in
// the stream. At the end of the stream a partial record is a record (aErrNone); aErrEOF only
// with no byte at all. On aErrNotReady every byte taken is given back.
aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, size_t* length, size_t maxSize,
                        const uint8_t* delimiter, size_t delimiterLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength);

// A record of at most capacity - 1 bytes ended by a zero byte, terminated on aErrNone.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t capacity);
// The string's characters and one zero byte.
aErr aStream_WriteCString(aStream* stream, const char* string);
// A record of at most capacity - 1 bytes ended by the delimiter's characters, terminated on
// aErrNone.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t capacity,
                               const char* delimiter);
// The string's characters, then the delimiter's characters and its terminating zero byte.
aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* delimiter);

// Copies the source's bytes (through its get, ignoring its ring) into the destination's put
// until the source ends: aErrNone at its end, else the first failing code.
aErr aStream_Flush(aStream* source, aStream* destination);

// Streams over a file: input with get and delete only, output (created or truncated) with
// put, write and delete only. aErrResource for every failure, the handle then NULL.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);
