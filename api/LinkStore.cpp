// Link: store slots (command 4) and factory data (0x5E) of a device.
#include <algorithm>
#include <cstring>
#include <memory>

#include "LinkChecks.h"
#include "LinkImpl.h"

namespace Tavrin::Corvantis {

namespace {

enum : uint8_t { kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7, kClose = 8 };
constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kNoHandle = 255;
constexpr size_t kWriteChunk = 25;
constexpr uint64_t kOpenWaitMs = 3000;
constexpr uint64_t kReplyWaitMs = 1000;

constexpr uint8_t kFactoryCommand = 0x5E;
constexpr uint8_t kFactoryFirstRead = 0x40;
constexpr uint8_t kFactoryFirstWrite = 0x50;
constexpr uint8_t kFactoryNextWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryMaxKind = 15;
constexpr size_t kFactoryChunk = 26;
constexpr uint8_t kFactoryFullReply = aPACKET_MAX_DATA;  // 26 data bytes: more follows

struct PacketDestroyer {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using ReplyPtr = std::unique_ptr<aPacket, PacketDestroyer>;

// Puts the request and waits for the reply `match` accepts; *put gets the put's result.
ReplyPtr sExchange(aLinkRef ref, uint8_t module, const uint8_t* payload, uint8_t length, aPacketMatchProc match,
                   const void* want, uint64_t ms, aErr* put) {
  *put = sPutPayload(ref, module, length, payload);
  return ReplyPtr(aLink_AwaitFirst(ref, match, want, ms));
}

uint8_t sOpenSlot(aLinkRef ref, uint8_t module, uint8_t store, uint8_t slot, uint8_t mode) {
  const uint8_t request[] = {kSlotCommand, mode, store, slot};
  SlotRequest want{mode, store, slot, 0};
  aErr put = aErrNone;
  ReplyPtr reply = sExchange(ref, module, request, sizeof request, sSlotFilter, &want, kOpenWaitMs, &put);
  if (put != aErrNone || reply == nullptr) return kNoHandle;
  return sSlotOpenReply(reply.get());
}

// A slot that did not open: refused by the device, or no reply because the link stopped.
aErr sNotOpened(aLinkRef ref) { return sNoReply(ref) == aErrConnection ? aErrConnection : aErrMedia; }

aErr sCloseSlot(aLinkRef ref, uint8_t module, uint8_t handle) {
  const uint8_t request[] = {kSlotCommand, kClose, handle};
  SlotRequest want{kClose, 0, 0, handle};
  aErr put = aErrNone;
  ReplyPtr reply = sExchange(ref, module, request, sizeof request, sSlotFilter, &want, kReplyWaitMs, &put);
  if (reply == nullptr) return sNoReply(ref);
  aErr err = sSlotCloseReply(reply.get());
  return err != aErrNone ? err : put;
}

aErr sSlotValue(aLinkRef ref, uint8_t module, uint8_t operation, uint8_t store, uint8_t slot, size_t* value) {
  const uint8_t request[] = {kSlotCommand, operation, store, slot};
  SlotRequest want{operation, store, slot, 0};
  aErr put = aErrNone;
  ReplyPtr reply = sExchange(ref, module, request, sizeof request, sSlotFilter, &want, kReplyWaitMs, &put);
  if (reply == nullptr) return put != aErrNone ? put : sNoReply(ref);
  return sSlotValueReply(reply.get(), value);
}

// The factory exchange of one request: its reply, or the error that left none.
ReplyPtr sFactoryExchange(aLinkRef ref, uint8_t module, const uint8_t* payload, uint8_t length, aErr* err) {
  uint8_t code = payload[1];
  aErr put = aErrNone;
  ReplyPtr reply = sExchange(ref, module, payload, length, sFactoryFilter, &code, kReplyWaitMs, &put);
  *err = reply != nullptr ? aErrNone : put != aErrNone ? put : sNoReply(ref);
  return reply;
}

aErr sFactoryEnd(aLinkRef ref, uint8_t module, size_t bytes) {
  const uint8_t request[] = {kFactoryCommand, kFactoryEnd, static_cast<uint8_t>(bytes >> 8),
                             static_cast<uint8_t>(bytes)};
  aErr err = aErrNone;
  ReplyPtr reply = sFactoryExchange(ref, module, request, sizeof request, &err);
  return reply == nullptr ? err : sFactoryEndReply(reply.get());
}

}  // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!isConnected()) return aErrConnection;
  if (capacity == nullptr) return aErrParam;
  if (!sIsModuleAddress(module)) return aErrPacket;
  return sSlotValue(impl_->linkRef, module, kCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  if (size == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  return sSlotValue(impl_->linkRef, module, kSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
  if (data == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  aLinkRef ref = impl_->linkRef;
  uint8_t handle = sOpenSlot(ref, module, store, slot, kOpenWrite);
  if (handle == kNoHandle) return sNotOpened(ref);

  aErr err = aErrNone;
  for (size_t sent = 0; err == aErrNone && sent < length;) {
    size_t chunk = std::min(kWriteChunk, length - sent);
    uint8_t request[aPACKET_MAX_DATA] = {kSlotCommand, kWrite, handle};
    memcpy(request + 3, data + sent, chunk);
    uint8_t sum = 0;
    for (size_t i = 0; i < chunk; ++i) sum = static_cast<uint8_t>(sum + data[sent + i]);
    SlotRequest want{kWrite, 0, 0, handle};
    aErr put = aErrNone;
    ReplyPtr reply = sExchange(ref, module, request, static_cast<uint8_t>(3 + chunk), sSlotFilter, &want,
                               kReplyWaitMs, &put);
    if (put != aErrNone) {
      err = put;
    } else if (reply == nullptr) {
      err = sNoReply(ref);
    } else {
      err = sSlotWriteReply(reply.get(), sum);
    }
    sent += chunk;
  }
  // Every opened slot is closed again, whatever happened.
  aErr closed = sCloseSlot(ref, module, handle);
  return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                           size_t* count) {
  if (count == nullptr || buffer == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  aLinkRef ref = impl_->linkRef;
  size_t size = 0;
  aErr err = sSlotValue(ref, module, kSize, store, slot, &size);
  if (err != aErrNone) return err;
  uint8_t handle = sOpenSlot(ref, module, store, slot, kOpenRead);
  if (handle == kNoHandle) return sNotOpened(ref);

  size_t wanted = std::min(capacity, size);
  size_t got = 0;
  while (err == aErrNone && got < wanted) {
    const uint8_t request[] = {kSlotCommand, kRead, handle};
    SlotRequest want{kRead, 0, 0, handle};
    aErr put = aErrNone;
    ReplyPtr reply = sExchange(ref, module, request, sizeof request, sSlotFilter, &want, kReplyWaitMs, &put);
    if (reply == nullptr) {
      err = put != aErrNone ? put : sNoReply(ref);
      break;
    }
    const uint8_t* data = nullptr;
    size_t bytes = 0;
    err = sSlotReadReply(reply.get(), &data, &bytes);
    if (err != aErrNone) break;
    bytes = std::min(bytes, wanted - got);
    memcpy(buffer + got, data, bytes);
    got += bytes;
  }
  aErr closed = sCloseSlot(ref, module, handle);
  if (err == aErrNone) err = closed;
  if (err != aErrNone) return err;
  *count = wanted;
  return capacity < size ? aErrOverrun : aErrNone;
}

aErr Link::getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity, size_t* count) {
  if (buffer == nullptr || count == nullptr) return aErrParam;
  // Above 15 the kind would run into the request's flag bits (0x50 is a first write of kind 0).
  if (kind > kFactoryMaxKind) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  aLinkRef ref = impl_->linkRef;
  size_t have = 0;
  aErr err = aErrNone;
  for (bool first = true, more = true; err == aErrNone && more; first = false) {
    const uint8_t request[] = {kFactoryCommand, static_cast<uint8_t>(first ? kFactoryFirstRead + kind : kind)};
    ReplyPtr reply = sFactoryExchange(ref, module, request, sizeof request, &err);
    if (reply == nullptr) break;
    const uint8_t* data = nullptr;
    size_t bytes = 0;
    err = sFactoryReadReply(reply.get(), have, capacity, &data, &bytes);
    if (err != aErrNone) break;
    memcpy(buffer + have, data, bytes);
    have += bytes;
    more = reply->length == kFactoryFullReply;
  }
  if (err == aErrNone) err = sFactoryEnd(ref, module, have);
  if (err == aErrNone) *count = have;
  return err;
}

aErr Link::setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length) {
  if (data == nullptr) return aErrParam;
  // Above 15 the kind would run into the request's flag bits (0x20 + kind is the end code).
  if (kind > kFactoryMaxKind) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  aLinkRef ref = impl_->linkRef;
  aErr err = aErrNone;
  for (size_t sent = 0; err == aErrNone && sent < length;) {
    size_t chunk = std::min(kFactoryChunk, length - sent);
    uint8_t request[aPACKET_MAX_DATA] = {kFactoryCommand,
                                         static_cast<uint8_t>((sent == 0 ? kFactoryFirstWrite : kFactoryNextWrite) + kind)};
    memcpy(request + 2, data + sent, chunk);
    ReplyPtr reply = sFactoryExchange(ref, module, request, static_cast<uint8_t>(2 + chunk), &err);
    if (reply != nullptr) err = sFactoryWriteReply(reply.get());
    sent += chunk;
  }
  if (err == aErrNone) err = sFactoryEnd(ref, module, length);
  return err;
}

}  // namespace Tavrin::Corvantis
