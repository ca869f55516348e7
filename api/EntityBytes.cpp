// EntityClass: byte-sequence gets, packet by packet in sequence order into the caller's buffer.
#include <cstring>

#include "EntityImpl.h"
#include "aUEI.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kHeader = 3;  // command, option, index; the trailer follows the data

// Ends the transfer with `code`, as an error reply would.
uint8_t sEndTransfer(uei* state, uint8_t indexByte, uint8_t code) {
  state->index = indexByte | kErrorReplyBit;
  state->value.byteVal = code;
  return 1;
}

}  // namespace

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

bool EntityClass::getUEIBytesContinue(const aPacket* packet) { return aUEI_getBytesContinue(packet) != 0; }

uint8_t EntityClass::sUEIBytesFilter(const aPacket* packet, const void* ref) {
  const uei* want = static_cast<const uei*>(ref);
  const uint8_t* p = packet->payload;
  if (packet->address != want->module || packet->length <= 2) return 0;
  if (p[0] != want->command || p[1] != want->option || (p[2] & 0x1F) != want->index) return 0;
  // The filter runs under the FIFO's lock on behalf of the one waiting call that owns `ref`.
  uei* state = const_cast<uei*>(want);
  if ((p[2] & kErrorReplyBit) != 0) {
    state->index = p[2];
    state->value.byteVal = packet->length > kHeader ? p[kHeader] : static_cast<uint8_t>(aErrUnknown);
    return 1;
  }
  // Without a trailer there is no sequence number and no data length.
  if (packet->length == kHeader) return sEndTransfer(state, want->index, aErrPacket);
  if (getUEIBytesSequence(packet) != want->sequence) return 0;
  if (state->count == nullptr) return sEndTransfer(state, want->index, aErrParam);
  size_t bytes = packet->length - kHeader - 1u;
  if (*state->count + bytes > state->length) return sEndTransfer(state, want->index, aErrMemory);
  if (bytes > 0) {
    memcpy(state->value.data, p + kHeader, bytes);
    state->value.data += bytes;
    *state->count += bytes;
  }
  state->sequence = getUEIBytesSequence(packet);
  state->more = getUEIBytesContinue(packet);
  return 1;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
  if (buffer == nullptr || count == nullptr || capacity == 0) return aErrParam;
  *count = 0;
  Link* link = nullptr;
  aErr err = impl_->optionRequest(option, &link);
  if (err != aErrNone) return err;
  uint8_t address = impl_->module->getModuleAddress();
  // Leftovers of an earlier transfer would mix into this one: the get drops them.
  err = impl_->sendGet(link, option, -1);
  if (err != aErrNone) return err;

  uei state{};
  state.module = address;
  state.command = impl_->command;
  state.option = option;
  state.index = impl_->index;
  state.sequence = 0;
  state.more = false;
  state.length = capacity;
  state.value.data = buffer;
  state.count = count;
  // Not marked as a byte sequence: every packet gets the standard 1000 ms.
  state.type = ueiTypeNone;
  // Every packet but the last carries at least one byte, so a transfer that fits takes at most
  // capacity + 1 packets; a device that keeps sending empty ones must not hold us.
  for (size_t packets = 0; packets <= capacity; ++packets) {
    err = link->receiveUEI(address, impl_->command, option, impl_->index, &state, sUEIBytesFilter);
    if (err != aErrNone) return err;
    err = sEntityReplyError(state);
    if (err != aErrNone) return err;
    if (!state.more) return aErrNone;
    state.sequence = static_cast<uint8_t>((state.sequence + 1) % 128);
  }
  return aErrPacket;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
  if (count == nullptr) return aErrParam;
  if (unit == 0) return *count == 0 ? aErrNone : aErrMemory;
  if (*count % unit != 0) return aErrMemory;
  *count /= unit;
  return aErrNone;
}

}  // namespace Tavrin::Corvantis
