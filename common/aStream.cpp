#include "aStream.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Working memory of one call: on the stack when small, so that the link engine's one-byte
// reads never allocate.
template <typename T, size_t kLocal>
class WorkBuffer {
 public:
  explicit WorkBuffer(size_t n) {
    if (n > kLocal) heap_.reset(new (std::nothrow) T[n]);
    data_ = n > kLocal ? heap_.get() : local_;
  }
  T* get() const { return data_; }

 private:
  T local_[kLocal];
  std::unique_ptr<T[]> heap_;
  T* data_;
};

// Makes room in the ring for one more byte: the first block on first use, one block more
// when it holds size - 1 bytes (it never fills its last slot).
aErr sRingReserve(aStream* s) {
  if (s->buffer == nullptr) {
    s->buffer = new (std::nothrow) uint8_t[aSTREAMBUFCHUNK];
    if (s->buffer == nullptr) return aErrMemory;
    s->size = aSTREAMBUFCHUNK;
    s->count = 0;
    s->readIndex = 0;
    s->writeIndex = 0;
    return aErrNone;
  }
  if (s->count < s->size - 1) return aErrNone;
  if (s->count == UINT32_MAX) return aErrMemory;
  uint64_t grownSize = s->size + aSTREAMBUFCHUNK;
  uint8_t* grown = new (std::nothrow) uint8_t[grownSize];
  if (grown == nullptr) return aErrMemory;
  // Oldest first from the start: the part up to the end of the old block, then the wrapped part.
  uint64_t first = s->size - s->readIndex;
  if (first > s->count) first = s->count;
  memcpy(grown, s->buffer + s->readIndex, first);
  memcpy(grown + first, s->buffer, s->count - first);
  delete[] s->buffer;
  s->buffer = grown;
  s->size = grownSize;
  s->readIndex = 0;
  s->writeIndex = s->count;
  return aErrNone;
}

aErr sRingPushBack(aStream* s, uint8_t byte) {
  aErr err = sRingReserve(s);
  if (err != aErrNone) return err;
  s->buffer[s->writeIndex] = byte;
  s->writeIndex = (s->writeIndex + 1) % s->size;
  s->count++;
  return aErrNone;
}

// Ahead of the bytes waiting in the ring.
aErr sRingPushFront(aStream* s, uint8_t byte) {
  aErr err = sRingReserve(s);
  if (err != aErrNone) return err;
  s->readIndex = (s->readIndex + s->size - 1) % s->size;
  s->buffer[s->readIndex] = byte;
  s->count++;
  return aErrNone;
}

// Gives bytes back behind those waiting. aErrMemory when the ring cannot hold them: the rest
// is then lost, and the caller must not pretend it was only not ready.
aErr sGiveBack(aStream* s, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (sRingPushBack(s, bytes[i]) != aErrNone) return aErrMemory;
  }
  return aErrNone;
}

// The next byte: from the ring while it holds any, then from the kind.
inline aErr sTake(aStream* s, uint8_t* byte) {
  if (s->count > 0) {
    *byte = s->buffer[s->readIndex];
    if (++s->readIndex == s->size) s->readIndex = 0;
    s->count--;
    return aErrNone;
  }
  return s->get(byte, s->ref);
}

// fail[i]: length of the longest proper prefix of delimiter[0..i] that is also its suffix.
void sPrefixTable(const uint8_t* delimiter, size_t length, size_t* fail) {
  fail[0] = 0;
  size_t k = 0;
  for (size_t i = 1; i < length; ++i) {
    while (k > 0 && delimiter[i] != delimiter[k]) k = fail[k - 1];
    if (delimiter[i] == delimiter[k]) ++k;
    fail[i] = k;
  }
}

// Puts the consumed bytes that lie beyond a full record back in front of the ring, in the
// order they were taken: delimiter[from..matched) and then, when given, `last`.
aErr sReturnBeyondRecord(aStream* s, const uint8_t* delimiter, size_t from, size_t matched,
                         const uint8_t* last) {
  if (last != nullptr && sRingPushFront(s, *last) != aErrNone) return aErrMemory;
  for (size_t i = matched; i-- > from;) {
    if (sRingPushFront(s, delimiter[i]) != aErrNone) return aErrMemory;
  }
  return aErrNone;
}

const uint8_t kZero = 0;

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* ref) {
  aStream* stream = new (std::nothrow) aStream{};
  if (stream == nullptr) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->deleteProc = deleteProc;
  stream->ref = ref;
  stream->check = aSTREAMCHECK;
  return stream;
}

aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_SetWake(aStream* stream, aStreamWakeProc wake) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->wake = wake;
  return aErrNone;
}

aErr aStream_Wake(aStream* stream) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->wake == nullptr) return aErrMode;
  stream->wake(stream->ref);
  return aErrNone;
}

aErr aStream_WaitReadable(aStream* stream, uint32_t ms) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->count > 0 || stream->wait == nullptr) return aErrNone;
  return stream->wait(ms, stream->ref);
}

namespace {

// aStream_Read of any n; kept apart so that the one-byte path stays a plain call.
__attribute__((noinline)) aErr sReadBlock(aStream* stream, uint8_t* destination, size_t n) {
  WorkBuffer<uint8_t, 64> work(n);
  uint8_t* taken = work.get();
  if (taken == nullptr) return aErrResource;

  size_t got = 0;
  aErr err = aErrNone;
  while (got < n) {
    err = sTake(stream, &taken[got]);
    if (err != aErrNone) break;
    ++got;
  }
  // The ring is empty whenever get was asked, so giving back behind keeps the order.
  if (err == aErrNotReady)
    return sGiveBack(stream, taken, got) == aErrNone ? aErrNotReady : aErrMemory;
  if (err == aErrNone || err == aErrEOF) memcpy(destination, taken, got);
  return err;
}

}  // namespace

aErr aStream_Read(aStream* stream, uint8_t* destination, size_t n) {
  if (!aVALIDSTREAM(stream) || destination == nullptr) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  if (n != 1) return sReadBlock(stream, destination, n);
  // The link engine's read: one byte, with nothing to give back whatever the outcome. A kind
  // stores a byte only with aErrNone, so it may store it in place.
  return sTake(stream, destination);
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t n) {
  if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
  if (stream->put == nullptr && stream->write == nullptr) return aErrMode;
  if (n == 0) return aErrNone;
  if (n >= 2 && stream->write != nullptr) return stream->write(data, n, stream->ref);
  // Never fall back to write for a single byte: a kind may need each write to be one packet.
  if (stream->put == nullptr) return aErrMode;
  for (size_t i = 0; i < n; ++i) {
    aErr err = stream->put(&data[i], stream->ref);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_Destroy(aStream** stream) {
  if (stream == nullptr) return aErrParam;
  aStream* doomed = *stream;
  *stream = nullptr;
  if (!aVALIDSTREAM(doomed)) return aErrParam;
  aErr err = doomed->deleteProc != nullptr ? doomed->deleteProc(doomed->ref) : aErrNone;
  delete[] doomed->buffer;
  doomed->check = 0;
  delete doomed;
  return err;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, size_t* length, size_t maxSize,
                        const uint8_t* delimiter, size_t delimiterLength) {
  if (length != nullptr) *length = 0;
  if (!aVALIDSTREAM(stream) || destination == nullptr || delimiter == nullptr ||
      delimiterLength == 0 || maxSize == 0) {
    return aErrParam;
  }
  if (stream->get == nullptr) return aErrMode;
  WorkBuffer<uint8_t, 64> recordWork(maxSize);
  WorkBuffer<size_t, 16> failWork(delimiterLength);
  uint8_t* record = recordWork.get();
  size_t* fail = failWork.get();
  if (record == nullptr || fail == nullptr) return aErrResource;
  sPrefixTable(delimiter, delimiterLength, fail);

  // Every byte taken so far is record[0..r) followed by the partial match delimiter[0..m).
  size_t r = 0;
  size_t m = 0;
  aErr result = aErrNone;
  for (;;) {
    uint8_t byte;
    aErr err = sTake(stream, &byte);
    if (err == aErrNotReady) {
      if (sGiveBack(stream, record, r) != aErrNone || sGiveBack(stream, delimiter, m) != aErrNone) {
        return aErrMemory;
      }
      return aErrNotReady;
    }
    if (err == aErrEOF) {
      if (r == 0 && m == 0) return aErrEOF;
      // A partial match at the end belongs to the record.
      for (size_t j = 0; j < m; ++j) {
        record[r++] = delimiter[j];
        if (r == maxSize) {
          result = sReturnBeyondRecord(stream, delimiter, j + 1, m, nullptr);
          break;
        }
      }
      break;
    }
    if (err != aErrNone) return err;

    // Back off on a mismatch: the head of the partial match becomes record.
    bool full = false;
    while (m > 0 && byte != delimiter[m]) {
      size_t keep = fail[m - 1];
      for (size_t j = 0; j < m - keep && !full; ++j) {
        record[r++] = delimiter[j];
        if (r == maxSize) {
          result = sReturnBeyondRecord(stream, delimiter, j + 1, m, &byte);
          full = true;
        }
      }
      if (full) break;
      // What is left of the match, delimiter[m - keep..m), equals delimiter[0..keep).
      m = keep;
    }
    if (full) break;
    if (byte == delimiter[m]) {
      if (++m == delimiterLength) break;
      continue;
    }
    record[r++] = byte;
    if (r == maxSize) break;
  }
  if (result != aErrNone) return result;
  memcpy(destination, record, r);
  if (length != nullptr) *length = r;
  return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || data == nullptr || delimiter == nullptr || delimiterLength == 0) {
    return aErrParam;
  }
  aErr err = aStream_Write(stream, data, length);
  if (err != aErrNone) return err;
  return aStream_Write(stream, delimiter, delimiterLength);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity < 2) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, capacity - 1,
                                &kZero, 1);
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCString(aStream* stream, const char* string) {
  if (string == nullptr) return aErrParam;
  aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(string), strlen(string));
  if (err != aErrNone) return err;
  return aStream_Write(stream, &kZero, 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t capacity,
                               const char* delimiter) {
  if (buffer == nullptr || capacity < 2 || delimiter == nullptr) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, capacity - 1,
                                reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter));
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* delimiter) {
  if (string == nullptr || delimiter == nullptr) return aErrParam;
  // The delimiter's zero byte goes out too; read back, it begins the next record.
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(string), strlen(string),
                             reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
  if (source->get == nullptr || destination->put == nullptr) return aErrMode;
  for (;;) {
    uint8_t byte;
    aErr err = source->get(&byte, source->ref);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = destination->put(&byte, destination->ref);
    if (err != aErrNone) return err;
  }
}
