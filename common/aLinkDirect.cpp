// Making a link over a stream, and releasing a use of any link.
#include <cstdio>

#include "aDebug.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

void (*aLink_ServerReleaseHook)(aServer** server) = nullptr;

namespace {

// aLink_Create's stream, handed over when the factory asks for it.
struct GivenStream {
  aStream* stream;
  bool taken;
};

aErr sTakeGivenStream(void* ref, aStream** stream) {
  GivenStream* given = static_cast<GivenStream*>(ref);
  *stream = given->stream;
  given->taken = true;
  return aErrNone;
}

aErr sAddUse(aLinkRef ref) {
  LinkPin pin(ref);
  return sChangeUseCount(pin.entry(), 1);
}

// Nobody may run the filter once the last use is gone.
void sRemoveFilter(aLink* link) {
  if (link->userFilterSema == nullptr) return;
  aMutex_Lock(link->userFilterSema);
  link->filterProc = nullptr;
  link->filterRef = nullptr;
  aMutex_Unlock(link->userFilterSema);
}

// Everything of a released link that no pinned operation can still need; the rest goes with
// the entry's last pin (aLink_ReleaseRecord). A reset under way finishes first.
aErr sTearDown(linkItem* entry) {
  aLink* link = entry->link;
  if (link == nullptr) return aErrUnknown;
  std::lock_guard<std::mutex> hold(link->lifecycle);
  // Operations that come late now see an unregistered link.
  bool initialised = link->check.exchange(0) == aLINK_CHECK;
  if (!initialised) return aErrUnknown;
  sRemoveFilter(link);
  aLink_StopLocked(link);
  // Taken off the entry first: a holder that pinned it before the release may still look.
  aServer* server = sEntryServer(entry);
  if (server != nullptr && sSwapEntryServer(entry, server, nullptr) && aLink_ServerReleaseHook != nullptr)
    aLink_ServerReleaseHook(&server);
  if (entry->deviceLinkId != 0) {
    aLinkRef device = entry->deviceLinkId;
    aLink_Destroy(&device);
  }
  // Late operations may still read the ids, which then name no FIFO.
  aPacketFifoId in = link->inFifo.exchange(0);
  aPacketFifoId out = link->outFifo.exchange(0);
  if (in != 0) aPacketFifo_Destroy(&in);
  aErr result = out != 0 ? aPacketFifo_Destroy(&out) : aErrNotFound;
  if (link->stream != nullptr) aStream_Destroy(&link->stream);
  return result;
}

}  // namespace

aLinkRef aLink_ShareRegistered(uint32_t key, uint32_t type, bool refuseServed, bool* found) {
  linkItem* entry = sPinEntryByIdentifier(key, type);
  if (found != nullptr) *found = entry != nullptr;
  aLinkRef id = 0;
  // The use is added only while the entry is registered, so a link whose last use is being
  // released is never handed out.
  if (entry != nullptr && !(refuseServed && sEntryServer(entry) != nullptr) &&
      sChangeUseCount(entry, 1) == aErrNone) {
    id = entry->id;
  }
  sUnpinEntry(&entry);
  return id;
}

aLinkRef aLink_CreateRegistered(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type,
                                aLinkStreamMaker make, void* makerRef, bool sync) {
  aLinkRef id = sCreate2(ident0, ident1, ident2, type);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  aErr err = make != nullptr ? make(makerRef, &stream) : aErrParam;
  // Init keeps the stream in the record even when it fails, so the destroy below frees it.
  if (aLink_Init(id, stream) != id && err == aErrNone) err = aErrConnection;
  if (err == aErrNone && stream != nullptr) err = sAddUse(id);
  if (err == aErrNone) err = aLink_Start(id);
  if (err == aErrNone && sync) err = aLink_Sync(id);
  if (err != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

aLinkRef aLink_Create(aStream* stream) {
  GivenStream given{stream, false};
  aLinkRef id = aLink_CreateRegistered(aLINK_STREAM_IDENT, 0, 0, 0, sTakeGivenStream, &given,
                                       false);
  // Registration failed before the link took the stream: it is still ours to free.
  if (!given.taken && given.stream != nullptr) aStream_Destroy(&given.stream);
  return id;
}

aErr aLink_Destroy(aLinkRef* ref) {
  if (ref == nullptr) return aErrParam;
  aLinkRef id = *ref;
  *ref = 0;
  bool found = false;
  int remaining = 0;
  linkItem* entry = sReleaseUse(id, &found, &remaining);
  if (!found) return aErrParam;
  if (entry == nullptr) {
    if (aCorvantisDebuggingEnable) printf("aLink_Destroy use_count: %d\n", remaining);
    return aErrNone;
  }
  aErr result = sTearDown(entry);
  sRetireEntry(&entry, aLink_ReleaseRecord);
  return result;
}
