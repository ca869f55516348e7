// The link engine's operations: initialisation, start, stop, the handshake request, and the
// packet operations users call by aLinkRef.
#include <chrono>
#include <cstdio>

#include "aLinkInternal.h"
#include "unix_thread.h"
#include "unix_time.h"

namespace {

constexpr uint64_t kPollMs = 10;
constexpr uint64_t kStartWaitMs = 2000;  // 200 polls
constexpr uint64_t kSyncWaitMs = 2000;   // 200 polls
constexpr uint64_t kSyncSettleMs = 100;

// now + ms on the monotonic clock, saturated.
uint64_t sDeadline(uint64_t ms) {
  uint64_t now = aTime_GetMonotonicMS();
  return ms > UINT64_MAX - now ? UINT64_MAX : now + ms;
}

// Polls every 10 ms until done() or the deadline; true when done.
template <typename Done>
bool sPollUntil(uint64_t ms, Done done) {
  uint64_t deadline = sDeadline(ms);
  while (!done()) {
    if (aTime_GetMonotonicMS() >= deadline) return false;
    aTime_MSSleep(kPollMs);
  }
  return true;
}

aErr sQueueRoute(aLink* link, uint8_t on) {
  aPacket* route = aPacket_CreateWithData(aLINK_ROUTE_ADDRESS, 1, &on);
  if (route == nullptr) return aErrMemory;
  aErr err = aPacketFifo_Put(link->outFifo, route);
  aPacket_Destroy(&route);
  return err;
}


}  // namespace

bool aLink_SpinUntilChanged(const std::atomic<uint32_t>& word, uint32_t seen) {
  auto until = std::chrono::steady_clock::now() + kHandOffSpin;
  for (int i = 1;; ++i) {
    if (word.load(std::memory_order_acquire) != seen) return true;
    aThread_CpuRelax();
    if ((i & 63) == 0 && std::chrono::steady_clock::now() >= until) return false;
  }
}

aLinkRef aLink_Init(aLinkRef ref, aStream* stream) {
  LinkPin pin(ref);
  aLink* link = pin.link();
  if (link == nullptr) return 0;
  std::lock_guard<std::mutex> hold(link->lifecycle);
  return aLink_InitRecord(link, ref, stream) ? ref : 0;
}

bool aLink_InitRecord(aLink* link, aLinkRef ref, aStream* stream) {
  link->ref = ref;
  link->running = 0;
  if (stream != nullptr) {
    link->stream = stream;
    link->status = kLinkStatusStopped;
  } else {
    link->status = kLinkStatusInvalid;
  }
  link->readerThread = nullptr;
  link->writerThread = nullptr;
  link->readerProc = aLink_ReaderProc();
  link->writerProc = aLink_WriterProc();
  link->readerRunning = 0;
  link->writerRunning = 0;
  link->hbState = 0;
  link->syncState = kSyncStateIdle;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  if (link->packet == nullptr) {
    link->packet = aPacket_Create();
  } else {
    aPacket_Reset(link->packet);
  }
  // Holders may be reading the log right now: it goes under its lock.
  aPacketLog* log = nullptr;
  if (aMutex* logLock = link->logSema.load()) {
    aMutex_Lock(logLock);
    log = link->packetLog.exchange(nullptr);
    aMutex_Unlock(logLock);
  }
  aPacketLog_Destroy(&log);
  link->logSize = 0;
  link->pooled = 0;
  if (link->userFilterSema == nullptr) {
    char name[255];
    snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
  }
  if (link->userFilterSema != nullptr) {
    aMutex_Lock(link->userFilterSema);
    link->filterProc = nullptr;
    link->filterRef = nullptr;
    aMutex_Unlock(link->userFilterSema);
  }
  link->check = aLINK_CHECK;
  return link->inFifo.load() != 0 && link->outFifo.load() != 0 && link->packet != nullptr &&
         link->userFilterSema != nullptr;
}

aErr aLink_Start(aLinkRef ref) {
  LinkPin pin(ref);
  aLink* link = pin.link();
  if (link == nullptr) return aErrParam;
  std::lock_guard<std::mutex> hold(link->lifecycle);
  return aLink_StartLocked(link);
}

aErr aLink_StartLocked(aLink* link) {
  // Checked under the lock: a release that came first has cleared it.
  if (!aVALIDLINK(link)) return aErrParam;
  if (link->running.load() == 1) return aErrNone;
  // A link without a stream has nothing to run on.
  if (link->stream == nullptr || link->status.load() == kLinkStatusInvalid) return aErrParam;
  link->running = 1;
  link->status = kLinkStatusStarting;
  link->hbState = 0;
  link->readerRunning = 0;
  link->writerRunning = 0;
  link->readerThread = aThread_Create(link->readerProc, link);
  if (link->readerThread == nullptr) return aErrResource;
  link->writerThread = aThread_Create(link->writerProc, link);
  if (link->writerThread == nullptr) return aErrResource;
  bool up = sPollUntil(kStartWaitMs, [link] {
    return link->readerRunning.load() == 1 && link->writerRunning.load() == 1 &&
           link->status.load() == kLinkStatusRunning;
  });
  if (!up) return aErrIndexRange;
  return sQueueRoute(link, 1);
}

aErr aLink_Stop(aLink* link) {
  if (link == nullptr) return aErrParam;
  std::lock_guard<std::mutex> hold(link->lifecycle);
  return aLink_StopLocked(link);
}

aErr aLink_StopLocked(aLink* link) {
  if (link == nullptr) return aErrParam;
  bool reader = link->readerThread != nullptr;
  bool writer = link->writerThread != nullptr;
  int status = link->status.load();
  if ((status == kLinkStatusStopping || status == kLinkStatusStopped) && !reader && !writer)
    return aErrNone;
  link->status = kLinkStatusStopping;
  // Running drops first, so that the put of the route-off packet wakes a writer that then
  // ends; the reader's wait is cut short where the stream allows it.
  link->running = 0;
  aStream_Wake(link->stream);
  if (reader && writer) sQueueRoute(link, 0);
  aErr result = aErrNone;
  if (reader && aThread_Destroy(&link->readerThread) != 0) result = aErrUnknown;
  if (writer && aThread_Destroy(&link->writerThread) != 0) result = aErrUnknown;
  link->readerThread = nullptr;
  link->writerThread = nullptr;
  if (reader && writer) {
    // The writer may have made its final flush before the route-off packet came.
    if (result == aErrNone) aLink_FlushOutbound(link);
    link->readerRunning = 0;
    link->writerRunning = 0;
    aPacket_Reset(link->packet);
    link->status = kLinkStatusStopped;
    link->hbState = 0;
  }
  return result;
}

aErr aLink_Sync(aLinkRef ref) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr) return aErrParam;
  {
    // A stop or reset must not slip in between the check and the request.
    std::lock_guard<std::mutex> hold(link->lifecycle);
    if (link->running.load() == 0) return aErrNotReady;
    link->status = kLinkStatusSyncing;
    // The handshake starts at the reader's next empty read: do not let a long wait put it off.
    aStream_Wake(link->stream);
  }
  bool synced = sPollUntil(kSyncWaitMs, [link] { return link->status.load() == kLinkStatusRunning; });
  // Unsent AD 00 packets, then the late answers to those that went out.
  aPacketFifo_DrainPackets(link->outFifo, drainAll, nullptr);
  aTime_MSSleep(kSyncSettleMs);
  aPacketFifo_DrainPackets(link->inFifo, drainAll, nullptr);
  return synced ? aErrNone : aErrNotReady;
}

void aLink_ReleaseRecord(aLink* link) {
  if (link == nullptr) return;
  link->check = 0;
  aPacket_Destroy(&link->packet);
  aPacketLog* log = link->packetLog.exchange(nullptr);
  aPacketLog_Destroy(&log);
  aMutex* logLock = link->logSema.exchange(nullptr);
  if (logLock != nullptr) aMutex_Destroy(&logLock);
  if (link->userFilterSema != nullptr) aMutex_Destroy(&link->userFilterSema);
}

int aLink_GetStatus(aLinkRef ref) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  return link != nullptr ? link->status.load() : kLinkStatusInvalid;
}

aPacket* aLink_GetPacket(aLinkRef ref) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  return link != nullptr ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef ref, uint64_t ms) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  return link != nullptr ? aPacketFifo_Await(link->inFifo, ms) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef ref, aPacketMatchProc match, const void* user) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || match == nullptr) return nullptr;
  return aPacketFifo_GetFirst(link->inFifo, match, user);
}

aPacket* aLink_AwaitFirst(aLinkRef ref, aPacketMatchProc match, const void* user, uint64_t ms) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || match == nullptr || ms == 0) return nullptr;
  uint64_t deadline = sDeadline(ms);
  auto running = [link] {
    return link->running.load() == 1 && link->status.load() == kLinkStatusRunning;
  };
  aPacket* found = nullptr;
  if (running()) {
    uint32_t seen = link->inPuts.load(std::memory_order_acquire);
    found = aPacketFifo_GetFirst(link->inFifo, match, user);
    // The answer to a request just put is often moments away: watch for it before sleeping.
    if (found == nullptr && aLink_SpinUntilChanged(link->inPuts, seen))
      found = aPacketFifo_GetFirst(link->inFifo, match, user);
  }
  uint64_t now = aTime_GetMonotonicMS();
  while (found == nullptr && running() && now < deadline) {
    found = aPacketFifo_AwaitFirst(link->inFifo, match, user, deadline - now);
    now = aTime_GetMonotonicMS();
  }
  return found;
}

uint32_t aLink_DrainPackets(aLinkRef ref, aPacketMatchProc match, const void* user) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || match == nullptr) return 0;
  return static_cast<uint32_t>(aPacketFifo_DrainPackets(link->inFifo, match, user));
}

aErr aLink_PutPacket(aLinkRef ref, const aPacket* packet) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || !aVALIDPACKET(packet) || packet->length > aPACKET_MAX_DATA)
    return aErrParam;
  // The packet is sound, so a refusal means a reset has just taken the FIFO away.
  aErr err = aPacketFifo_Put(link->outFifo, packet);
  link->outPuts.fetch_add(1, std::memory_order_release);
  return err == aErrParam ? aErrNotReady : err;
}

aErr aLink_InstallUserPacketFilter(aLinkRef ref, aUserPacketFilterProc filter, void* user) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr) return aErrParam;
  aErr err = aMutex_Lock(link->userFilterSema);
  if (err != aErrNone) return err;
  link->filterProc = filter;
  link->filterRef = filter != nullptr ? user : nullptr;
  return aMutex_Unlock(link->userFilterSema);
}

aErr aLink_RemoveUserPacketFilterIf(aLinkRef ref, aUserPacketFilterProc filter, void* user) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || filter == nullptr) return aErrParam;
  aErr err = aMutex_Lock(link->userFilterSema);
  if (err != aErrNone) return err;
  // Decided under the lock, so that an install by another holder cannot slip in between.
  bool ours = link->filterProc == filter && link->filterRef == user;
  if (ours) {
    link->filterProc = nullptr;
    link->filterRef = nullptr;
  }
  err = aMutex_Unlock(link->userFilterSema);
  if (err != aErrNone) return err;
  return ours ? aErrNone : aErrNotFound;
}

aErr aLink_EnablePooledPackets(aLinkRef ref, bool on) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr) return aErrParam;
  link->pooled = on ? 1 : 0;
  return aErrNone;
}

aErr aLink_ForceRoute(aLinkRef ref, uint8_t on) {
  LinkPin pin(ref);
  if (pin.entry() == nullptr) return aErrNotFound;
  if (!aVALIDLINK(pin.link())) return aErrParam;
  return sQueueRoute(pin.link(), on);
}
