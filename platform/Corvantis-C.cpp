#include "Corvantis-C.h"

#include <cstdio>
#include <mutex>

#include "aDebug.h"

namespace {

libusb_context* _libusbContext = nullptr;
std::mutex _libusbContextLock;
int _libusbUsers = 0;  // under the lock

}  // namespace

libusb_context* Corvantis_libusb_context() {
  std::lock_guard<std::mutex> lock(_libusbContextLock);
  if (_libusbContext == nullptr && libusb_init(&_libusbContext) != LIBUSB_SUCCESS) _libusbContext = nullptr;
  return _libusbContext;
}

libusb_context* Corvantis_libusb_init() { return Corvantis_libusb_context(); }

void Corvantis_libusb_exit() {
  std::lock_guard<std::mutex> lock(_libusbContextLock);
  if (_libusbUsers > 0) {
    // Freeing the context now would pull it from under the open handles.
    if (aCorvantisDebuggingEnable) {
      printf("Corvantis_libusb_exit: %d USB stream(s) open, context kept\n", _libusbUsers);
      fflush(stdout);
    }
    return;
  }
  if (_libusbContext != nullptr) {
    libusb_exit(_libusbContext);
    _libusbContext = nullptr;
  }
}

void Corvantis_libusb_retain() {
  std::lock_guard<std::mutex> lock(_libusbContextLock);
  _libusbUsers++;
}

void Corvantis_libusb_release() {
  std::lock_guard<std::mutex> lock(_libusbContextLock);
  if (_libusbUsers > 0) _libusbUsers--;
}

bool is_corvantis_device(libusb_device* device) {
  libusb_device_descriptor descriptor;
  if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  return descriptor.idVendor == aCORVANTIS_USB_VENDOR_ID && (descriptor.idProduct & 0x8000) == 0;
}
