// Rebuilding a link's transport: aLink_Reset and aLink_ResetLink.
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "aStreamClient.h"
#include "aStreamsocket.h"
#include "unix_streamusb.h"
#include "unix_time.h"

namespace {

constexpr int kResetTries = 20;
constexpr uint64_t kResetPauseMs = 100;

typedef aErr (*ResetStreamMaker)(const linkItem* entry, aStream** stream);

// The serial number stored at creation; the device is looked for afresh on every try.
aErr sMakeUSBStream(const linkItem* entry, aStream** stream) {
  return aStream_CreateUSB(entry->ident0, stream);
}

// The address and port stored at creation. Against an address that never answers every try
// takes the connect bound: 20 x (5 s + 100 ms), about 102 s, in all.
aErr sMakeSocketStream(const linkItem* entry, aStream** stream) {
  return aStream_CreateSocket(entry->ident1, static_cast<uint16_t>(entry->ident2 & 0xFFFF), stream);
}

// The server's address and port stored at creation. A client stream is made even where no
// server runs, so the first try succeeds.
aErr sMakeClientStream(const linkItem* entry, aStream** stream) {
  return aStream_CreateClient(entry->ident0, static_cast<uint16_t>(entry->ident1 & 0xFFFF), stream);
}

// How a reset makes each link type's stream again. A type without a maker is refused with
// its code before anything is touched; a type not listed (0, a caller's stream) with aErrParam.
struct ResetKind {
  uint32_t type;
  ResetStreamMaker make;
  aErr refusal;
};

const ResetKind kResetKinds[] = {
    {USB, sMakeUSBStream, aErrNone},
    {TCPIP, sMakeSocketStream, aErrNone},
    // A serial link's entry does not keep its port.
    {SERIAL, nullptr, aErrParam},
    // Client links are registered as type 4; the others are listed for links keyed by hand.
    {AORVEX, sMakeClientStream, aErrNone},
    {AORVEX_USB, sMakeClientStream, aErrNone},
    {AORVEX_TCPIP, sMakeClientStream, aErrNone},
    {AORVEX_SERIAL, sMakeClientStream, aErrNone},
};

const ResetKind* sResetKind(uint32_t type) {
  for (const ResetKind& kind : kResetKinds) {
    if (kind.type == type) return &kind;
  }
  return nullptr;
}

// Up to kResetTries, kResetPauseMs after each failure: the stream, or NULL and the last error.
aStream* sMakeStream(const ResetKind* kind, const linkItem* entry, aErr* err) {
  for (int attempt = 0; attempt < kResetTries; ++attempt) {
    aStream* stream = nullptr;
    *err = kind->make(entry, &stream);
    if (*err == aErrNone && stream != nullptr) return stream;
    if (stream != nullptr) aStream_Destroy(&stream);
    aTime_MSSleep(kResetPauseMs);
  }
  return nullptr;
}

}  // namespace

aErr aLink_ResetLink(linkItem* entry) {
  if (entry == nullptr || !aVALIDLINK(entry->link)) return aErrParam;
  const ResetKind* kind = sResetKind(entry->type);
  if (kind == nullptr) return aErrParam;
  if (kind->make == nullptr) return kind->refusal;

  aLink* link = entry->link;
  // A second reset waits for this one, then runs; a release waits too.
  std::lock_guard<std::mutex> hold(link->lifecycle);
  if (!aVALIDLINK(link)) return aErrParam;  // released while we waited
  aLink_StopLocked(link);
  // Holders still calling find no FIFO from here on, until the new ones exist.
  aPacketFifoId in = link->inFifo.exchange(0);
  aPacketFifoId out = link->outFifo.exchange(0);
  if (in != 0) aPacketFifo_Destroy(&in);
  if (out != 0) aPacketFifo_Destroy(&out);
  if (link->stream != nullptr) aStream_Destroy(&link->stream);

  aErr made = aErrNone;
  aStream* stream = sMakeStream(kind, entry, &made);
  // A fresh record, as a create makes it; without a stream it stays stopped at status 5, with
  // empty FIFOs and no threads, until a later reset or the last destroy.
  if (!aLink_InitRecord(link, entry->id, stream)) return aErrMemory;
  if (stream == nullptr) return made;
  return aLink_StartLocked(link);
}

aErr aLink_Reset(aLinkRef ref) {
  LinkPin pin(ref);
  return aLink_ResetLink(pin.entry());
}
