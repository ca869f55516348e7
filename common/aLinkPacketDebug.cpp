// A link's packet log: switching it on, its size, markers and reading records.
#include <cstdio>

#include "aLinkInternal.h"

namespace {

constexpr int32_t kMaxLogSize = 0x4000000;
constexpr uint32_t kDefaultLogSize = 0x10000;


// The log lock, made on first use; two callers racing keep one.
aMutex* sLogLock(aLink* link) {
  aMutex* lock = link->logSema.load();
  if (lock != nullptr) return lock;
  char name[1024];
  snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
  aMutex* made = aMutex_Create(name);
  if (made == nullptr) return nullptr;
  if (!link->logSema.compare_exchange_strong(lock, made)) {
    aMutex_Destroy(&made);
    return lock;
  }
  return made;
}

// The log lock held for one scope, and the log as it stands under it: a reset drops the log
// under the same lock, so the log a holder sees stays alive until the scope ends. No lock
// yet means no log yet.
class LogHold {
 public:
  explicit LogHold(aLink* link) : lock_(link->logSema.load()) {
    if (lock_ == nullptr) return;
    aMutex_Lock(lock_);
    log_ = link->packetLog.load();
  }
  ~LogHold() {
    if (lock_ != nullptr) aMutex_Unlock(lock_);
  }
  LogHold(const LogHold&) = delete;
  LogHold& operator=(const LogHold&) = delete;
  aPacketLog* log() const { return log_; }

 private:
  aMutex* lock_;
  aPacketLog* log_ = nullptr;
};

}  // namespace

void aLink_RecordPacket(aLink* link, uint8_t kind, const aPacket* packet) {
  if (link->packetLog.load() == nullptr) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  size_t count = 0;
  if (aPacket_GetBytes(packet, wire, sizeof wire, &count) != aErrNone) return;
  LogHold held(link);
  if (held.log() != nullptr) aPacketLog_Put(held.log(), kind, static_cast<uint32_t>(count), wire);
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef ref, int32_t size) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || size > kMaxLogSize) return aErrParam;
  if (link->packetLog.load() != nullptr) return aErrBusy;
  link->logSize = size < 0 ? 0 : static_cast<uint32_t>(size);
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef ref) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr) return aErrParam;
  if (link->logSize.load() == 0) link->logSize = kDefaultLogSize;
  // The lock exists before the log becomes visible to the link's threads.
  if (sLogLock(link) == nullptr) return aErrResource;
  LogHold held(link);
  aPacketLog* log = held.log();
  if (log == nullptr) {
    log = aPacketLog_Create(link->logSize.load());
    link->packetLog = log;
  }
  if (log != nullptr) log->enabled = 1;
  return log != nullptr ? aErrNone : aErrResource;
}

aErr aLink_PacketDebug_Disable(aLinkRef ref) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr) return aErrParam;
  LogHold held(link);
  if (held.log() == nullptr) return aErrNotReady;
  held.log()->enabled = 0;
  return aErrNone;
}

aErr aLink_PacketDebug_Read(aLinkRef ref, int* kind, uint32_t* length, uint8_t* data) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || kind == nullptr || length == nullptr || data == nullptr) return aErrParam;
  LogHold held(link);
  if (held.log() == nullptr) return aErrNotReady;
  return aPacketLog_Get(held.log(), kind, length, data);
}

aErr aLink_PacketDebug_Write(aLinkRef ref, uint8_t kind, uint32_t length, const uint8_t* data) {
  PinnedLink pinned(ref);
  aLink* link = pinned.link();
  if (link == nullptr || data == nullptr || length > aPACKETLOG_MAX_RECORD) return aErrParam;
  LogHold held(link);
  if (held.log() == nullptr) return aErrNotReady;
  return aPacketLog_Put(held.log(), kind, length, data);
}
