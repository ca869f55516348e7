// Link: requests and replies over the held link (entity protocol, raw packets, the module
// address query, pooled writes).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ApiTrace.h"
#include "LinkChecks.h"
#include "LinkImpl.h"
#include "aUEI.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint64_t kReplyWaitMs = 1000;
constexpr uint64_t kLongSequenceWaitMs = 4000;
constexpr size_t kLongSequence = 1000;
constexpr uint8_t kRawMaxData = aPACKET_MAX_DATA - 1;
constexpr size_t kSequenceChunk = 24;
constexpr uint8_t kMore = 0x80;
constexpr uint8_t kSyncAddress = 0xAD;

// The value bytes of a record of type 0, 1, 2 or 4 at `at`; false for any other type.
bool sPutValue(const uei& record, uint8_t* at, uint8_t* size) {
  switch (record.type) {
    case ueiTypeNone:
      *size = 0;
      return true;
    case ueiTypeByte:
      at[0] = record.value.byteVal;
      *size = 1;
      return true;
    case ueiTypeShort:
      aUEI_StoreShort(at, record.value.shortVal);
      *size = 2;
      return true;
    case ueiTypeInt:
      aUEI_StoreInt(at, record.value.intVal);
      *size = 4;
      return true;
    default:
      return false;
  }
}

// The packets of a byte sequence, back to back; the first error ends them.
aErr sSendSequence(aLinkRef ref, const uei& request) {
  uint8_t payload[aPACKET_MAX_DATA] = {request.command, request.option, request.index};
  size_t sent = 0;
  uint32_t counter = 0;
  bool more = false;
  aErr err = aErrNone;
  do {
    size_t chunk = std::min(request.length - sent, kSequenceChunk);
    more = sent + chunk < request.length;
    if (chunk > 0) memcpy(payload + 3, request.value.data + sent, chunk);
    payload[3 + chunk] = static_cast<uint8_t>((more ? kMore : 0) | (counter % 128));
    err = sPutPayload(ref, request.module, static_cast<uint8_t>(chunk + 4), payload);
    ++counter;
    sent += chunk;
  } while (more && err == aErrNone);
  return err;
}

}  // namespace

aErr sPutPayload(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* payload) {
  aPacket* packet = aPacket_CreateWithData(address, length, payload);
  if (packet == nullptr) return aErrResource;
  aErr err = aLink_PutPacket(ref, packet);
  aPacket_Destroy(&packet);
  return err;
}

aErr sNoReply(aLinkRef ref) {
  return aLink_GetStatus(ref) == kLinkStatusRunning ? aErrTimeout : aErrConnection;
}

aErr Link::sendUEI(uei request) {
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(request.module)) return aErrPacket;
  if (request.type == ueiTypeBytes) {
    if (request.value.data == nullptr && request.length > 0) return aErrParam;
    return sSendSequence(impl_->linkRef, request);
  }
  uint8_t payload[aPACKET_MAX_DATA] = {request.command, request.option, request.index};
  uint8_t size = 0;
  if (!sPutValue(request, payload + 3, &size)) return aErrParam;
  return sPutPayload(impl_->linkRef, request.module, static_cast<uint8_t>(3 + size), payload);
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(request.module)) return aErrPacket;
  uint8_t payload[aPACKET_MAX_DATA] = {request.command, request.option, request.index, subindex};
  uint8_t size = 0;
  // No byte sequence here: a record of type 5 is refused with the other unknown types.
  if (!sPutValue(request, payload + 4, &size)) return aErrParam;
  return sPutPayload(impl_->linkRef, request.module, static_cast<uint8_t>(4 + size), payload);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
  return receiveUEI(module, command, option, index, reply, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                      aPacketMatchProc filter) {
  // The filter compares against the record; command, option and index are not used.
  (void)command;
  (void)option;
  (void)index;
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  if (reply == nullptr || filter == nullptr) return aErrParam;
  uint64_t wait = kReplyWaitMs;
  if (reply->type == ueiTypeBytes && reply->length > kLongSequence) {
    wait = kLongSequenceWaitMs;
    if (sTraceOn(kTraceLink))
      printf("receiveUEI - Expanding timeout for large payload: %lu\n", static_cast<unsigned long>(wait));
  }
  aPacket* packet = aLink_AwaitFirst(impl_->linkRef, filter, reply, wait);
  if (packet == nullptr) return sNoReply(impl_->linkRef);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(module)) return aErrPacket;
  uei scratch{};
  scratch.module = module;
  scratch.command = command;
  scratch.option = option;
  scratch.index = index;
  aLink_DrainPackets(impl_->linkRef, sUEIFilter, &scratch);
  return aErrNone;
}

aErr Link::dropMatchingPackets(const uint8_t* match, uint8_t length) {
  if (!isConnected()) return aErrConnection;
  if (length > aPACKET_MAX_DATA || (match == nullptr && length > 0)) return aErrParam;
  CommandMatch want{match, length};
  aLink_DrainPackets(impl_->linkRef, sCommandFilter, &want);
  return aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (length > kRawMaxData || (data == nullptr && length > 0)) return aErrParam;
  if (!sIsModuleAddress(address)) return aErrPacket;
  uint8_t payload[aPACKET_MAX_DATA] = {command};
  if (length > 0) memcpy(payload + 1, data, length);
  return sPutPayload(impl_->linkRef, address, static_cast<uint8_t>(length + 1), payload);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out) {
  if (!isConnected()) return aErrConnection;
  if (!sIsModuleAddress(address)) return aErrPacket;
  if (length == nullptr || out == nullptr || *length > aPACKET_MAX_DATA || (match == nullptr && *length > 0))
    return aErrParam;
  CommandMatch want{match, *length};
  aPacket* packet = aLink_AwaitFirst(impl_->linkRef, sCommandFilter, &want, kReplyWaitMs);
  if (packet == nullptr) return sNoReply(impl_->linkRef);
  *length = packet->length;
  memcpy(out, packet->payload, packet->length);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (address == nullptr) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  if (sTraceOn(kTraceLink)) printf("getModuleAddress");
  static const uint8_t kNoPayload = 0;
  sPutPayload(impl_->linkRef, kSyncAddress, 0, &kNoPayload);
  if (sTraceOn(kTraceLink)) printf("getModuleAddress wait");
  aPacket* packet = aLink_AwaitFirst(impl_->linkRef, MatchMagic, nullptr, kReplyWaitMs);
  if (packet == nullptr) return aErrNotReady;
  *address = packet->address;
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::enablePooledPackets(bool on) { return aLink_EnablePooledPackets(impl_->linkRef, on); }

}  // namespace Tavrin::Corvantis
