// The link's reader thread: parsing, the handshake, heartbeat answers and the user filter.
#include <chrono>
#include <cstdio>

#include "aDebug.h"
#include "aLinkInternal.h"
#include "unix_time.h"

namespace {

void sTrace(const char* text) {
  if (aCorvantisDebuggingEnable) printf("%s\n", text);
}

// Queues six AD 00 and waits for the device's answer A 00 A 00.
void sStartSync(aLink* link, uint64_t nowMs) {
  link->status = kLinkStatusSyncing;
  link->syncState = kSyncStateStart;
  link->syncStartMs = nowMs;
  link->syncLastByteMs = nowMs;
  aPacket_Reset(link->packet);
  const uint8_t none = 0;
  aPacket* sync = aPacket_CreateWithData(aLINK_SYNC_ADDRESS, 0, &none);
  if (sync == nullptr) return;
  aErr err = aErrNone;
  for (int i = 0; i < aLINK_SYNC_COUNT; ++i) err = aPacketFifo_Put(link->outFifo, sync);
  aPacket_Destroy(&sync);
  if (err == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte, uint64_t nowMs) {
  switch (link->syncState.load()) {
    case kSyncStateStart:
      sStartSync(link, nowMs);
      break;
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link, nowMs);
      }
      break;
    case kSyncStateByte2:
      link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSyncStateIdle;
        link->status = kLinkStatusRunning;
        sTrace("synced");
      } else {
        link->syncState = kSyncStateStart;
      }
      break;
    default:
      sStartSync(link, nowMs);
      break;
  }
}

// A heartbeat A 02 00 v is answered with A 02 00 (v + 2) and taken; true when taken.
bool sHandleHBBackChannel(aLink* link) {
  const aPacket* packet = link->packet;
  if (packet->length != 2 || packet->payload[0] != 0 || link->hbState.load() > 1) return false;
  uint8_t v = packet->payload[1];
  if (v == 0) {
    link->hbState = 2;
    sTrace("sending HB UP");
  } else if (v == 1) {
    link->hbState = 3;
    sTrace("sending HB DOWN");
  }
  const uint8_t answer[2] = {0, static_cast<uint8_t>(v + 2)};
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  if (reply == nullptr) return true;  // hbState stays raised: later heartbeats are queued
  aPacketFifo_Put(link->outFifo, reply);
  aPacket_Destroy(&reply);
  link->hbState = 0;
  return true;
}

// Hands a complete parse packet on: the log, the filter, the heartbeat check, the inbound
// FIFO. Non-zero when the FIFO refused it.
aErr sHandlePacket(aLink* link) {
  if (!aPacket_IsComplete(link->packet)) return aErrNone;
  aLink_RecordPacket(link, aPACKETLOG_KIND_RECEIVED, link->packet);
  bool consumed = false;
  aMutex_Lock(link->userFilterSema);
  if (link->filterProc != nullptr) consumed = link->filterProc(link->packet, link->filterRef) == 1;
  aMutex_Unlock(link->userFilterSema);
  aErr err = aErrNone;
  if (!consumed && !sHandleHBBackChannel(link)) {
    err = aPacketFifo_Put(link->inFifo, link->packet);
    link->inPuts.fetch_add(1, std::memory_order_release);
  }
  aPacket_Reset(link->packet);
  return err;
}

// An empty read of a running link asks no clock either: the reader's hand-off spin makes one
// after every burst.
template <typename Now>
void sEmptyRead(aLink* link, Now now) {
  int status = link->status.load();
  if (status == kLinkStatusIOError || status == kLinkStatusPacketError) {
    sStartSync(link, now());
  } else if (status == kLinkStatusSyncing) {
    // A handshake asked for (idle) starts at once; one under way restarts only when the
    // device has been quiet for a while, not at every pause between bytes.
    uint64_t nowMs = now();
    if (link->syncState.load() == kSyncStateIdle || nowMs - link->syncLastByteMs >= kSyncQuietMs)
      sStartSync(link, nowMs);
  }
}

// One step of the reader. The time (from now()) matters only to the handshake and to
// recovery, so a byte of a running link asks no clock: at 19 bytes a sample, the clock was
// the reader's largest cost.
template <typename Now>
void sReaderStep(aLink* link, aErr result, uint8_t byte, Now now) {
  if (result == aErrNotReady) {
    sEmptyRead(link, now);
    return;
  }
  if (result != aErrNone) {
    link->status = kLinkStatusIOError;
    return;
  }
  if (link->status.load() == kLinkStatusSyncing) {
    uint64_t nowMs = now();
    link->syncLastByteMs = nowMs;
    sSyncByte(link, byte, nowMs);
    return;
  }
  aErr err = aPacket_AddByte(link->packet, byte);
  if (err != aErrNone || (link->packet->address & 1) != 0) {
    sTrace("Out of sync");
    sStartSync(link, now());
    return;
  }
  if (sHandlePacket(link) != aErrNone) link->status = kLinkStatusPacketError;
}

void* sInPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  aLink_ReaderBegin(link);
  // A stream that runs dry right after bytes came is asked again for a while before the
  // reader sleeps (kHandOffSpin).
  bool spinning = false;
  std::chrono::steady_clock::time_point spinUntil;
  while (link->running.load() == 1) {
    uint8_t byte = 0;
    aErr err = aStream_Read(link->stream, &byte, 1);
    sReaderStep(link, err, byte, aTime_GetMonotonicMS);
    if (err == aErrNone) {
      spinning = false;
    } else if (err == aErrNotReady) {
      auto now = std::chrono::steady_clock::now();
      if (!spinning) {
        spinning = true;
        spinUntil = now + kHandOffSpin;
      }
      if (now >= spinUntil) {
        // A stop wakes a stream that can be woken; over any other the wait stays short.
        bool idle = link->status.load() == kLinkStatusRunning && link->stream->wake != nullptr;
        aStream_WaitReadable(link->stream, idle ? kReaderIdleWaitMs : kReaderWaitMs);
      }
    } else {
      spinning = false;
      aTime_MSSleep(kReadErrorPauseMs);
    }
  }
  return nullptr;
}

}  // namespace

aThreadProc aLink_ReaderProc() { return sInPipeProcess; }

void aLink_ReaderBegin(aLink* link) {
  link->hbState = 0;
  link->syncAddress = 1;
  link->syncState = kSyncStateIdle;
  link->syncStartMs = 0;
  link->syncLastByteMs = 0;
  link->readerRunning = 1;
  link->status = kLinkStatusRunning;
}

void aLink_ReaderStep(aLink* link, aErr result, uint8_t byte, uint64_t nowMs) {
  sReaderStep(link, result, byte, [nowMs] { return nowMs; });
}
