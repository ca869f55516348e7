#include "unix_streamusb.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "qlusb_driver.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct USBStreamState {
  uint32_t serial;
  qlusb_device* device;  // owned
  uint16_t check;
};

bool aVALIDUSBS(const USBStreamState* state) { return state != nullptr && state->check == kUSBStreamCheck; }

aErr sUSBStreamGet(uint8_t* byte, void* ref) {
  auto* state = static_cast<USBStreamState*>(ref);
  if (!aVALIDUSBS(state)) return aErrParam;
  return qlusb_get_from_device(state->device, byte);
}

aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* ref) {
  auto* state = static_cast<USBStreamState*>(ref);
  if (!aVALIDUSBS(state)) return aErrParam;
  return qlusb_write_to_device(state->device, data, length);
}

// Node reads never wait, so the link's reader sleeps here after an empty one. A libusb get
// waits up to 1000 ms for its transfer by itself and has no such procedure.
aErr sUSBStreamWait(uint32_t ms, void* ref) {
  auto* state = static_cast<USBStreamState*>(ref);
  if (!aVALIDUSBS(state)) return aErrParam;
  int bound = static_cast<int>(std::min<uint32_t>(ms, INT_MAX));
  return qlusb_wait_readable(state->device, bound) ? aErrNone : aErrTimeout;
}

aErr sUSBStreamPut(const uint8_t* byte, void* ref) { return sUSBStreamWrite(byte, 1, ref); }

// Releases the record and the state even when the close fails: keeping them would leak both
// and leave the node open, so that every later open of the device finds it busy.
aErr sUSBStreamDelete(void* ref) {
  auto* state = static_cast<USBStreamState*>(ref);
  if (!aVALIDUSBS(state)) return aErrParam;
  aErr closed = qlusb_close_corvantis_device(state->device);
  qlusb_destroy(&state->device);
  *state = USBStreamState{};
  delete state;
  return closed;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serial, aStream** out) {
  if (out != nullptr) *out = nullptr;
  if (out == nullptr || serial == 0) return aErrParam;
  bool node = qlusb_is_kernel_driver_installed(serial);

  auto* state = new (std::nothrow) USBStreamState{serial, nullptr, kUSBStreamCheck};
  if (state == nullptr) return aErrMemory;
  char text[16];
  snprintf(text, sizeof(text), "%08X", serial);
  state->device = qlusb_create_usb(node ? qlusb_MODE_KERNEL : qlusb_MODE_USBLIB);
  if (state->device == nullptr) {
    delete state;
    return aErrResource;
  }
  aErr opened = qlusb_open_corvantis_device(state->device, text);
  if (opened != aErrNone) {
    qlusb_destroy(&state->device);
    delete state;
    return opened;
  }
  aStream* stream = aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, state);
  if (stream == nullptr) {
    qlusb_close_corvantis_device(state->device);
    qlusb_destroy(&state->device);
    delete state;
    return aErrMemory;
  }
  if (node) aStream_SetWait(stream, sUSBStreamWait);
  *out = stream;
  return aErrNone;
}
