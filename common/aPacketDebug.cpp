#include "aPacketDebug.h"

#include <new>

namespace {

uint32_t sUsed(const aPacketLog* log) {
  return (log->writeIndex + log->size - log->readIndex) % log->size;
}

bool sValid(const aPacketLog* log) { return log != nullptr && log->buffer != nullptr && log->size > 0; }

void sPutByte(aPacketLog* log, uint8_t byte) {
  log->buffer[log->writeIndex] = byte;
  log->writeIndex = (log->writeIndex + 1) % log->size;
}

// Past the oldest record: its kind byte, then its length byte and data.
void sEvictOldest(aPacketLog* log) {
  log->readIndex = (log->readIndex + 1) % log->size;
  uint32_t length = log->buffer[log->readIndex];
  log->readIndex = (log->readIndex + length + 1) % log->size;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog{};
  if (log == nullptr) return nullptr;
  log->buffer = new (std::nothrow) uint8_t[size];
  if (log->buffer == nullptr) {
    delete log;
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* data) {
  if (!sValid(log) || data == nullptr || length > aPACKETLOG_MAX_RECORD) return aErrParam;
  uint64_t needed = uint64_t{length} + 2;
  if (needed >= log->size) return aErrOverrun;
  while (log->size - sUsed(log) <= needed) sEvictOldest(log);
  sPutByte(log, kind);
  sPutByte(log, static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) sPutByte(log, data[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, int* kind, uint32_t* length, uint8_t* data) {
  if (!sValid(log) || kind == nullptr || length == nullptr || data == nullptr) return aErrParam;
  if (log->readIndex == log->writeIndex) return aErrNotFound;
  *kind = log->buffer[log->readIndex];
  uint32_t recordLength = log->buffer[(log->readIndex + 1) % log->size];
  uint32_t capacity = *length;
  *length = recordLength;
  if (capacity < recordLength) return aErrOverrun;
  uint32_t at = (log->readIndex + 2) % log->size;
  for (uint32_t i = 0; i < recordLength; ++i) {
    data[i] = log->buffer[at];
    at = (at + 1) % log->size;
  }
  log->readIndex = at;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return aErrNone;
  (*log)->enabled = 0;
  delete[] (*log)->buffer;
  delete *log;
  *log = nullptr;
  return aErrNone;
}
