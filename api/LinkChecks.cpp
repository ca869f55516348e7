#include "LinkChecks.h"

#include <cstring>

#include "aLink.h"
#include "aUEI.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kErrorBit = 0x80;

bool sHasErrorBit(uint8_t byte) { return (byte & kErrorBit) != 0; }

// The code byte of an error reply at `at`, or aErrUnknown when the reply ends before it.
aErr sErrorCode(const aPacket* reply, size_t at) {
  return reply->length > at ? static_cast<aErr>(reply->payload[at]) : aErrUnknown;
}

// The result of an operation answered by an error reply: its code, never success (a code
// byte of 0, or none, gives aErrUnknown).
aErr sErrorResult(const aPacket* reply, size_t at) {
  aErr code = sErrorCode(reply, at);
  return code != aErrNone ? code : aErrUnknown;
}

}  // namespace

uint8_t sUEIFilter(const aPacket* packet, const void* record) {
  const uei* want = static_cast<const uei*>(record);
  const uint8_t* p = packet->payload;
  if (packet->address != want->module || packet->length <= 2) return 0;
  if (p[0] != want->command || p[1] != want->option || (p[2] & 0x1F) != want->index) return 0;
  uei* out = const_cast<uei*>(want);
  if (sHasErrorBit(p[2])) {
    out->index = p[2];
    out->value.byteVal = static_cast<uint8_t>(sErrorCode(packet, 3));
    return 1;
  }
  switch (packet->length) {
    case 3:
      out->type = ueiTypeNone;
      break;
    case 4:
      out->type = ueiTypeByte;
      out->value.byteVal = p[3];
      break;
    case 5:
      out->type = ueiTypeShort;
      out->value.shortVal = aUEI_RetrieveShort(p + 3);
      break;
    case 7:
      out->type = ueiTypeInt;
      out->value.intVal = aUEI_RetrieveInt(p + 3);
      break;
    default:  // taken, but of no known shape: the record keeps its value
      break;
  }
  return 1;
}

aErr sEntityReplyError(const uei& reply) {
  if (!sHasErrorBit(reply.index)) return aErrNone;
  aErr code = static_cast<aErr>(reply.value.byteVal);
  return code != aErrNone ? code : aErrUnknown;
}

uint8_t sCommandFilter(const aPacket* packet, const void* match) {
  const CommandMatch* want = static_cast<const CommandMatch*>(match);
  if (want->length > aPACKET_MAX_DATA || packet->length < want->length) return 0;
  return want->length == 0 || memcmp(packet->payload, want->bytes, want->length) == 0;
}

uint8_t MatchMagic(const aPacket* packet, const void* ref) {
  (void)ref;
  return packet->length == 0;
}

uint8_t sSlotFilter(const aPacket* packet, const void* request) {
  const SlotRequest* want = static_cast<const SlotRequest*>(request);
  const uint8_t* p = packet->payload;
  if (packet->length <= 3 || p[0] != 4 || (p[1] & 0x7F) != want->operation) return 0;
  if (want->operation >= 1 && want->operation <= 4) return p[2] == want->store && p[3] == want->slot;
  return p[2] == want->handle;
}

uint8_t sFactoryFilter(const aPacket* packet, const void* requestCode) {
  uint8_t kind = *static_cast<const uint8_t*>(requestCode) & 0x0F;
  const uint8_t* p = packet->payload;
  return packet->length > 1 && p[0] == 0x5E && (p[1] == kind || p[1] == (kind | kErrorBit));
}

aErr sSlotValueReply(const aPacket* reply, size_t* value) {
  if (reply->length < 2) return aErrUnknown;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 4);
  if (reply->length != 6) return aErrUnknown;
  *value = aUEI_RetrieveShort(reply->payload + 4);
  return aErrNone;
}

uint8_t sSlotOpenReply(const aPacket* reply) {
  if (reply->length < 5 || sHasErrorBit(reply->payload[1])) return 255;
  return reply->payload[4];
}

aErr sSlotWriteReply(const aPacket* reply, uint8_t sum) {
  if (reply->length < 2) return aErrUnknown;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 3);
  if (reply->length != 4) return aErrNone;
  return reply->payload[3] == sum ? aErrNone : aErrIO;
}

aErr sSlotReadReply(const aPacket* reply, const uint8_t** data, size_t* size) {
  if (reply->length <= 3) return aErrUnknown;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 3);
  *data = reply->payload + 3;
  *size = reply->length - 3u;
  return aErrNone;
}

aErr sSlotCloseReply(const aPacket* reply) {
  if (reply->length != 4) return aErrIO;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 3);
  return aErrNone;
}

aErr sFactoryReadReply(const aPacket* reply, size_t have, size_t capacity, const uint8_t** data, size_t* size) {
  if (reply->length < 2) return aErrUnknown;
  size_t bytes = reply->length - 2u;
  if (have + bytes >= capacity) return aErrOverrun;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 2);
  *data = reply->payload + 2;
  *size = bytes;
  return aErrNone;
}

aErr sFactoryWriteReply(const aPacket* reply) {
  if (reply->length < 2) return aErrUnknown;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 2);
  return reply->length == 2 ? aErrNone : aErrSize;
}

aErr sFactoryEndReply(const aPacket* reply) {
  if (reply->length < 2) return aErrUnknown;
  if (sHasErrorBit(reply->payload[1])) return sErrorResult(reply, 2);
  return aErrNone;
}

aErr sBuildReply(const uint8_t* payload, uint8_t length, uint32_t* build) {
  if (length != 6 || payload[0] != 0x49 || payload[1] != 0xFF) return aErrSize;
  *build = aUEI_RetrieveInt(payload + 2);
  return aErrNone;
}

aErr sQueryReply(const uint8_t* request, uint8_t repeated, const uint8_t* payload, uint8_t length, uint8_t* value) {
  if (length != repeated + 1 || (repeated > 0 && memcmp(payload, request, repeated) != 0)) return aErrUnknown;
  *value = payload[repeated];
  return aErrNone;
}

aErr sEchoReply(const uint8_t* data, uint8_t dataLength, const uint8_t* payload, uint8_t length) {
  if (length != dataLength + 1 || payload[0] != 0x17) return aErrIO;
  if (dataLength > 0 && memcmp(payload + 1, data, dataLength) != 0) return aErrIO;
  return aErrNone;
}

aErr sWaitForRunning(const std::function<int()>& status, const std::function<void()>& pause, uint16_t tries) {
  int now = status();
  switch (now) {
    case kLinkStatusRunning:
      return aErrNone;
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
      for (uint16_t pauses = 0; now != kLinkStatusRunning && pauses < tries; ++pauses) {
        pause();
        now = status();
      }
      return now == kLinkStatusRunning ? aErrNone : aErrConnection;
    case kLinkStatusStopping:
      return aErrBusy;
    case kLinkStatusInvalid:
    case kLinkStatusIOError:
    case kLinkStatusPacketError:
      return aErrConnection;
    default:
      return aErrDuplicate;
  }
}

}  // namespace Tavrin::Corvantis
