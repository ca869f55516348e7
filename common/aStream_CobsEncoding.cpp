#include "aStream_CobsEncoding.h"

#include <cstring>
#include <new>

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;

struct CobsState {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc deleteProc;
  void* ref;
  uint16_t check;
  aStreamWaitProc wait;  // the underlying kind's, or NULL
  // Receive side (reader thread only).
  uint8_t receive[aCOBS_MAX_ENCODED];
  uint64_t receiveCount;  // encoded bytes held, or decoded bytes to deliver while ready
  uint8_t ready;
  uint64_t readIndex;
  // The frame ran past the buffer: refused at its delimiter, since the truncated rest could
  // pass the length and CRC checks by chance.
  bool overflow;
  // Send side (writer thread only).
  aPacket* assembler;
  uint8_t send[aCOBS_MAX_ENCODED + 1];
  uint64_t sendLength;
};

inline bool aVALIDSS(const CobsState* state) { return state != nullptr && state->check == kCobsCheck; }

CobsState* sState(void* ref) { return static_cast<CobsState*>(ref); }

// Checks and takes the frame whose delimiter just arrived.
aErr sEndFrame(CobsState* s) {
  size_t encoded = s->receiveCount;
  bool overflow = s->overflow;
  s->receiveCount = 0;
  s->overflow = false;
  if (overflow) return aErrPacket;
  size_t decoded = cobs_decode_inplace(s->receive, encoded);
  if (decoded <= 2 || decoded != s->receive[1] + 3u ||
      s->receive[decoded - 1] != crc8_create(s->receive, decoded - 1)) {
    return aErrPacket;
  }
  s->ready = 1;
  s->readIndex = 0;
  s->receiveCount = decoded - 1;  // the CRC is not delivered
  return aErrNotReady;
}

aErr sCobsStreamGet(uint8_t* byte, void* ref) {
  CobsState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->ready) {
    *byte = s->receive[s->readIndex++];
    if (s->readIndex == s->receiveCount) {
      s->ready = 0;
      s->readIndex = 0;
      s->receiveCount = 0;
    }
    return aErrNone;
  }
  if (s->get == nullptr) return aErrMode;
  uint8_t in = 0;
  aErr err = s->get(&in, s->ref);
  if (err == aErrNotReady || err == aErrEOF) return aErrNotReady;
  if (err != aErrNone) return err;
  if (in != 0) {
    if (s->receiveCount < aCOBS_MAX_ENCODED) {
      s->receive[s->receiveCount++] = in;
    } else {
      s->overflow = true;
    }
    return aErrNotReady;
  }
  if (s->receiveCount == 0) return aErrNotReady;  // zero runs between frames
  return sEndFrame(s);
}

// The delimiter's get answers not-ready although its packet is then ready: a wait passed
// straight to the line would hold every packet that ends a burst for the whole wait.
aErr sCobsStreamWait(uint32_t ms, void* ref) {
  CobsState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->ready || s->wait == nullptr) return aErrNone;
  return s->wait(ms, s->ref);
}

aErr sCobsStreamPut(const uint8_t* byte, void* ref) {
  CobsState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->put == nullptr) return aErrMode;
  return s->put(byte, s->ref);
}

// Frames the assembler's complete packet and writes it in one underlying call.
aErr sSendPacket(CobsState* s) {
  size_t count = 0;
  aErr err = aPacket_GetBytes(s->assembler, s->send, sizeof s->send, &count);
  aPacket_Reset(s->assembler);
  if (err != aErrNone) return err;
  s->send[count] = crc8_create(s->send, count);
  size_t encoded = cobs_encode_inplace(s->send, count + 1);
  s->send[encoded] = 0;
  s->sendLength = encoded + 1;
  if (s->write == nullptr) return aErrMode;
  return s->write(s->send, s->sendLength, s->ref);
}

aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* ref) {
  CobsState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  aErr result = aErrNone;
  for (size_t i = 0; i < length; ++i) {
    if (aPacket_AddByte(s->assembler, data[i]) != aErrNone) {
      aPacket_Reset(s->assembler);  // the next byte starts a new packet
      continue;
    }
    if (!aPacket_IsComplete(s->assembler)) continue;
    aErr err = sSendPacket(s);
    if (err != aErrNone) result = err;
  }
  return result;
}

aErr sCobsStreamDelete(void* ref) {
  CobsState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  aErr err = s->deleteProc != nullptr ? s->deleteProc(s->ref) : aErrNone;
  aPacket_Destroy(&s->assembler);
  s->check = 0;
  delete s;
  return err;
}

}  // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* ref, aStream** out,
                                aStreamWaitProc wait) {
  if (out == nullptr) return aErrParam;
  *out = nullptr;
  CobsState* s = new (std::nothrow) CobsState{};
  if (s == nullptr) return aErrMemory;
  s->get = get;
  s->put = put;
  s->write = write;
  s->deleteProc = deleteProc;
  s->ref = ref;
  s->wait = wait;
  s->check = kCobsCheck;
  s->assembler = aPacket_Create();
  if (s->assembler == nullptr) {
    delete s;
    return aErrMemory;
  }
  aStream* stream = aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, s);
  if (stream == nullptr) {
    aPacket_Destroy(&s->assembler);
    delete s;
    return aErrResource;
  }
  aStream_SetWait(stream, sCobsStreamWait);
  *out = stream;
  return aErrNone;
}
