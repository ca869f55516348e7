#include "qlusb_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "Corvantis-C.h"
#include "unix_file.h"

namespace {

constexpr unsigned kOutTimeoutMs = 50;
constexpr unsigned kInTimeoutMs = 1000;
constexpr int kMaxFailedTransfers = 10;
constexpr uint8_t kSwallowedIOErrors = 4;
constexpr int kMaxNodeWrites = 1000;
constexpr int kNoEndpoints = -4;
constexpr int kMaxReadableWaitMs = 10;

// The first four consecutive I/O errors are reported as success on purpose: a device that
// hiccups (a bus reset, a brief glitch) must not bring the link down. The fifth fails the record
// until it is closed and opened again.
aErr _handleErrorTolerance(qlusb_device* device, aErr result) {
  if (result != aErrIO) {
    device->errorRun.store(0);
    return result;
  }
  // The count stops at 255 rather than wrapping, so that a failed record never starts
  // swallowing errors again.
  uint8_t before = device->errorRun.load();
  while (!device->errorRun.compare_exchange_weak(before, before == 255 ? 255 : before + 1)) {
  }
  // A failed record swallows nothing, also when a read in between delivered bytes left from
  // before the failure and so set the count back.
  if (before < kSwallowedIOErrors && device->state.load() != qlusb_STATE_FAILED) return aErrNone;
  device->state.store(qlusb_STATE_FAILED);
  return aErrIO;
}

// The result of a call on a record that is not open.
aErr sNotOpen(uint32_t state) {
  if (state == qlusb_STATE_CLOSED) return aErrConnection;
  if (state == qlusb_STATE_CREATED || state == qlusb_STATE_MATCHED) return aErrNotReady;
  return aErrIO;
}

aErr sClaimError(int result) {
  switch (result) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

void sCloseHandle(qlusb_device* device) {
  libusb_close(device->handle);
  device->handle = nullptr;
  device->state.store(qlusb_STATE_CLOSED);
}

// True when the open handle's serial-number string is exactly `serial`.
bool sSerialMatches(libusb_device_handle* handle, const char* serial) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(libusb_get_device(handle), &descriptor) != LIBUSB_SUCCESS) return false;
  unsigned char text[256];
  memset(text, 0, sizeof(text));
  if (libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof(text)) < 0) return false;
  return strcmp(reinterpret_cast<const char*>(text), serial) == 0;
}

// Claims the matched device's data interface; on failure the handle is closed.
aErr sClaimMatched(qlusb_device* device) {
  device->state.store(qlusb_STATE_MATCHED);
  if (find_usb_endpoints(device) != 0) {
    sCloseHandle(device);
    return aErrConfiguration;
  }
  int claimed = libusb_claim_interface(device->handle, device->interface);
  if (claimed != LIBUSB_SUCCESS) {
    sCloseHandle(device);
    return sClaimError(claimed);
  }
  device->errorRun.store(0);
  device->state.store(qlusb_STATE_OPEN);
  return aErrNone;
}

}  // namespace

qlusb_device* qlusb_create_usb(int mode) {
  auto* device = new (std::nothrow) qlusb_device{};
  if (device == nullptr) return nullptr;
  device->mode = static_cast<uint32_t>(mode);
  device->fd = -1;
  device->rxCursor = device->rx;
  device->state.store(qlusb_STATE_CREATED);
  if (device->mode == qlusb_MODE_USBLIB) {
    Corvantis_libusb_retain();
    Corvantis_libusb_context();
  }
  return device;
}

aErr qlusb_destroy(qlusb_device** device) {
  if (device == nullptr || *device == nullptr) return aErrParam;
  qlusb_device* d = *device;
  if (d->handle != nullptr) libusb_close(d->handle);
  if (d->mode == qlusb_MODE_USBLIB) Corvantis_libusb_release();
  delete d;
  *device = nullptr;
  return aErrNone;
}

bool qlusb_is_kernel_driver_installed(uint32_t serial) {
  char path[64];
  snprintf(path, sizeof(path), "/dev/corvantis.%08X", serial);
  return aFile_Exists(path);
}

aErr qlusb_open_corvantis_device(qlusb_device* device, const char* serial) {
  if (device == nullptr) return aErrParam;
  return device->mode == qlusb_MODE_USBLIB ? qlusb_open_corvantis_USBlib_device(device, serial)
                                           : qlusb_open_corvantis_kernel_device(device, serial);
}

aErr qlusb_write_to_device(qlusb_device* device, const uint8_t* data, size_t length) {
  if (device == nullptr) return aErrParam;
  return device->mode == qlusb_MODE_USBLIB ? qlusb_write_to_USBlib_device(device, data, length)
                                           : qlusb_write_to_kernel_device(device, data, length);
}

aErr qlusb_get_from_device(qlusb_device* device, uint8_t* out) {
  if (device == nullptr) return aErrParam;
  return device->mode == qlusb_MODE_USBLIB ? qlusb_get_from_USBlib_device(device, out)
                                           : qlusb_get_from_kernel_device(device, out);
}

aErr qlusb_close_corvantis_device(qlusb_device* device) {
  if (device == nullptr) return aErrParam;
  return device->mode == qlusb_MODE_USBLIB ? qlusb_close_corvantis_USBlib_device(device)
                                           : qlusb_close_corvantis_kernel_device(device);
}

bool qlusb_wait_readable(qlusb_device* device, int ms) {
  if (device == nullptr || device->mode != qlusb_MODE_KERNEL || device->fd < 0) return false;
  pollfd p = {device->fd, POLLIN, 0};
  return poll(&p, 1, ms < 0 ? 0 : (ms > kMaxReadableWaitMs ? kMaxReadableWaitMs : ms)) == 1 &&
         (p.revents & POLLIN);
}

// --- libusb mode ---

int find_usb_endpoints(qlusb_device* device) {
  libusb_device* usb = libusb_get_device(device->handle);
  libusb_device_descriptor descriptor;
  int result = libusb_get_device_descriptor(usb, &descriptor);
  if (result != LIBUSB_SUCCESS) return result;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(usb, 0, &config) != LIBUSB_SUCCESS) return kNoEndpoints;
  bool in = false, out = false;
  for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != 0xFF || setting.bInterfaceSubClass != 0x88 ||
          setting.bInterfaceProtocol != 0x10)
        continue;
      for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        device->interface = setting.bInterfaceNumber;
        if (!(endpoint.bmAttributes & 0x02)) continue;  // bulk and interrupt only
        int size = libusb_get_max_packet_size(usb, endpoint.bEndpointAddress);
        uint16_t maxPacket = size > 0 ? static_cast<uint16_t>(size) : 0;
        if (endpoint.bEndpointAddress & 0x80) {
          device->inEndpoint = endpoint.bEndpointAddress;
          device->inMaxPacket = maxPacket;
          in = true;
        } else {
          device->outEndpoint = endpoint.bEndpointAddress;
          device->outMaxPacket = maxPacket;
          out = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return in && out ? 0 : kNoEndpoints;
}

aErr qlusb_open_corvantis_USBlib_device(qlusb_device* device, const char* serial) {
  if (device == nullptr || serial == nullptr) return aErrParam;
  if (device->mode != qlusb_MODE_USBLIB) return aErrMode;
  if (device->state.load() == 0) return aErrResource;
  // libusb would take a NULL context for a default one that nobody made.
  libusb_context* context = Corvantis_libusb_context();
  if (context == nullptr) return aErrResource;

  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  aErr result = aErrNotFound;
  for (ssize_t i = 0; i < count; ++i) {
    if (!is_corvantis_device(list[i])) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS) continue;
    if (!sSerialMatches(handle, serial)) {
      libusb_close(handle);
      continue;
    }
    // The first match decides, even when its claim fails.
    snprintf(device->serial, sizeof(device->serial), "%s", serial);
    device->handle = handle;
    result = sClaimMatched(device);
    break;
  }
  if (count >= 0) libusb_free_device_list(list, 1);
  return result;
}

aErr qlusb_write_to_USBlib_device(qlusb_device* device, const uint8_t* data, size_t length) {
  if (device == nullptr || (data == nullptr && length > 0)) return aErrParam;
  if (device->mode != qlusb_MODE_USBLIB) return aErrMode;
  uint32_t state = device->state.load();
  if (state != qlusb_STATE_OPEN) return _handleErrorTolerance(device, sNotOpen(state));

  aErr result = aErrNone;
  size_t sent = 0;
  int failed = 0;
  while (sent < length && failed < kMaxFailedTransfers) {
    size_t left = length - sent;
    size_t chunk = device->outMaxPacket > 0 && device->outMaxPacket < left ? device->outMaxPacket : left;
    // A transfer that ends exactly on a high-speed packet boundary would need a zero-length packet.
    if (chunk == 512) chunk = 511;
    int transferred = 0;
    int r = libusb_bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(data + sent),
                                 static_cast<int>(chunk), &transferred, kOutTimeoutMs);
    // Bytes a failed (timed-out) transfer moved have reached the device: never send them twice.
    if (transferred > 0) sent += static_cast<size_t>(transferred);
    if (r == LIBUSB_SUCCESS) continue;
    failed++;
    if (r == LIBUSB_ERROR_PIPE && libusb_clear_halt(device->handle, device->outEndpoint) != LIBUSB_SUCCESS)
      result = aErrIO;
  }
  if (sent < length) result = aErrWrite;
  return _handleErrorTolerance(device, result);
}

aErr qlusb_get_from_USBlib_device(qlusb_device* device, uint8_t* out) {
  if (device == nullptr || out == nullptr) return aErrParam;
  if (device->mode != qlusb_MODE_USBLIB) return aErrMode;
  aErr result = aErrNone;
  if (device->rxCount == 0) {
    uint32_t state = device->state.load();
    if (state != qlusb_STATE_OPEN) {
      result = sNotOpen(state);
    } else {
      int transferred = 0;
      int r = libusb_bulk_transfer(device->handle, device->inEndpoint, device->rx, sizeof(device->rx),
                                   &transferred, kInTimeoutMs);
      if (r == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->inEndpoint);
        result = aErrNotReady;
      } else if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_TIMEOUT) {
        result = aErrIO;
      } else if (transferred > 0) {
        device->rxCount = transferred;  // a time-out keeps the bytes that came before it
        device->rxCursor = device->rx;
      }
    }
  }
  bool delivered = false;
  if (result == aErrNone && device->rxCount > 0) {
    *out = *device->rxCursor++;
    device->rxCount--;
    delivered = true;
  }
  result = _handleErrorTolerance(device, result);
  return result == aErrNone && !delivered ? aErrNotReady : result;
}

aErr qlusb_close_corvantis_USBlib_device(qlusb_device* device) {
  if (device == nullptr) return aErrParam;
  if (device->mode != qlusb_MODE_USBLIB || device->handle == nullptr) return aErrMode;
  libusb_release_interface(device->handle, device->interface);
  sCloseHandle(device);
  device->interface = 0;
  device->inEndpoint = 0;
  device->outEndpoint = 0;
  return aErrNone;
}

// --- kernel node mode ---

aErr qlusb_open_corvantis_kernel_device(qlusb_device* device, const char* serial) {
  if (device == nullptr || serial == nullptr) return aErrParam;
  if (device->mode != qlusb_MODE_KERNEL) return aErrMode;
  snprintf(device->serial, sizeof(device->serial), "%s", serial);
  char path[300];
  snprintf(path, sizeof(path), "/dev/corvantis.%s", serial);
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  device->fd = fd;
  return aErrNone;
}

aErr qlusb_write_to_kernel_device(qlusb_device* device, const uint8_t* data, size_t length) {
  if (device == nullptr || (data == nullptr && length > 0)) return aErrParam;
  if (device->mode != qlusb_MODE_KERNEL || device->fd < 0) return aErrMode;
  size_t sent = 0;
  for (int calls = 0; sent < length && calls < kMaxNodeWrites; ++calls) {
    ssize_t n = write(device->fd, data + sent, length - sent);
    if (n < 0) return aErrIO;
    sent += static_cast<size_t>(n);
  }
  return sent < length ? aErrIO : aErrNone;
}

aErr qlusb_get_from_kernel_device(qlusb_device* device, uint8_t* out) {
  if (device == nullptr || out == nullptr) return aErrParam;
  if (device->mode != qlusb_MODE_KERNEL || device->fd < 0) return aErrMode;
  ssize_t n = read(device->fd, out, 1);
  if (n == 1) return aErrNone;
  // The kernel driver answers 0 bytes, or EFAULT, when nothing is waiting.
  if (n == 0 || errno == EFAULT) return aErrNotReady;
  return aErrIO;
}

aErr qlusb_close_corvantis_kernel_device(qlusb_device* device) {
  if (device == nullptr) return aErrParam;
  if (device->mode != qlusb_MODE_KERNEL) return aErrMode;
  if (device->fd < 0) return aErrNone;
  if (close(device->fd) != 0) return aErrCancel;
  device->fd = -1;
  device->state.store(qlusb_STATE_CLOSED);
  return aErrNone;
}
