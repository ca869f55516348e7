#include "aDiscoveryUSB.h"

#include <libusb.h>

#include "Corvantis-C.h"

namespace {

constexpr int kSerialLength = 8;
constexpr int kSerialBufferSize = 32;

int sHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The serial number of an opened device; false when its string is absent, unreadable or not
// 8 hexadecimal digits.
bool sReadSerialNumber(libusb_device* device, libusb_device_handle* handle, uint16_t* productId,
                       uint32_t* serial) {
  struct libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  unsigned char text[kSerialBufferSize] = {};
  int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof(text));
  if (!aDiscovery_ParseUSBSerialNumber(reinterpret_cast<const char*>(text), length, serial)) return false;
  *productId = descriptor.idProduct;
  return true;
}

}  // namespace

bool aDiscovery_ParseUSBSerialNumber(const char* text, int length, uint32_t* serial) {
  if (text == nullptr || length != kSerialLength) return false;
  uint32_t value = 0;
  for (int i = 0; i < kSerialLength; ++i) {
    int digit = sHexDigit(text[i]);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *serial = value;
  return true;
}

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serial, uint16_t productId) {
  spec->serialNumber = serial;
  spec->moduleAddress = 0;
  spec->routerAddress = 0;
  spec->routerSerialNumber = 0;
  spec->model = productId & 0xFF;
  spec->usbId = serial;
}

void aDiscovery_EnumerateUSB(aDiscoveryRun* run) {
  // Listing with a NULL context would use libusb's default one, which nothing initialised.
  libusb_context* context = Corvantis_libusb_context();
  if (context == nullptr) return;
  libusb_device** devices = nullptr;
  ssize_t count = libusb_get_device_list(context, &devices);
  if (count < 0) return;
  for (ssize_t i = 0; i < count && run->goOn; ++i) {
    if (!is_corvantis_device(devices[i])) continue;
    // Opened only to read the serial-number string; no interface is claimed.
    libusb_device_handle* handle = nullptr;
    if (libusb_open(devices[i], &handle) != LIBUSB_SUCCESS) continue;
    uint16_t productId = 0;
    uint32_t serial = 0;
    if (sReadSerialNumber(devices[i], handle, &productId, &serial)) {
      linkSpec* spec = aLinkSpec_Create(run->type);
      if (spec != nullptr) {
        sCopyToUSBLinkspec(spec, serial, productId);
        aDiscoveryRun_Report(run, &spec);
      }
    }
    libusb_close(handle);
  }
  libusb_free_device_list(devices, 1);
}
