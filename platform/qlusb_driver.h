#pragma once
// The USB driver: finds a device of the family by its serial-number string, claims its data
// interface and moves bytes with libusb's synchronous bulk transfers; or, when the optional
// kernel driver made the node "/dev/corvantis.%08X", reads and writes that node instead.
#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "aError.h"

enum : uint32_t {
  qlusb_MODE_KERNEL = 0,
  qlusb_MODE_USBLIB = 1,
};

enum : uint32_t {
  qlusb_STATE_CREATED = 1,
  qlusb_STATE_CLOSED = 2,
  qlusb_STATE_MATCHED = 3,  // serial number found, endpoints not yet confirmed
  qlusb_STATE_OPEN = 4,     // interface claimed
  qlusb_STATE_FAILED = 5,   // too many consecutive I/O errors
};

// The driver's record of one device. The link's reader (get) and writer (write) use it at the
// same time: get alone owns rx, rxCount and rxCursor, write alone the OUT endpoint; both update
// errorRun and state, which are atomic.
struct qlusb_device {
  uint32_t mode;
  char serial[256];  // serial-number text the device was opened with
  int fd;            // node mode: the node's descriptor, -1 when closed
  libusb_device_handle* handle;
  std::atomic<uint32_t> state;
  uint8_t interface;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t rx[1024];  // the last IN transfer
  int rxCount;       // bytes of rx not yet delivered
  uint8_t* rxCursor;
  std::atomic<uint8_t> errorRun;  // consecutive aErrIO results of reads and writes
  uint16_t inMaxPacket;
  uint16_t outMaxPacket;
};

// A new record in `mode` (state 1); in libusb mode the shared context is made sure to exist.
// NULL when memory is short.
qlusb_device* qlusb_create_usb(int mode);
// Closes a libusb handle still open (the interface is not released), frees the record and
// clears the caller's pointer. aErrParam for no record.
aErr qlusb_destroy(qlusb_device** device);

// True when the kernel driver's node for that serial number exists.
bool qlusb_is_kernel_driver_installed(uint32_t serial);

// Each dispatches on the record's mode; the variants give aErrMode for a record of the other mode.
aErr qlusb_open_corvantis_device(qlusb_device* device, const char* serial);
aErr qlusb_write_to_device(qlusb_device* device, const uint8_t* data, size_t length);
aErr qlusb_get_from_device(qlusb_device* device, uint8_t* out);  // one byte
aErr qlusb_close_corvantis_device(qlusb_device* device);
// Waits until a byte can be read, at most `ms` (capped at 10) milliseconds; true when one can.
// For the reader after an empty get in node mode, where reads never wait. In libusb mode the
// get itself waits (up to 1000 ms): this returns false at once.
bool qlusb_wait_readable(qlusb_device* device, int ms);

aErr qlusb_open_corvantis_USBlib_device(qlusb_device* device, const char* serial);
aErr qlusb_write_to_USBlib_device(qlusb_device* device, const uint8_t* data, size_t length);
aErr qlusb_get_from_USBlib_device(qlusb_device* device, uint8_t* out);
aErr qlusb_close_corvantis_USBlib_device(qlusb_device* device);

aErr qlusb_open_corvantis_kernel_device(qlusb_device* device, const char* serial);
aErr qlusb_write_to_kernel_device(qlusb_device* device, const uint8_t* data, size_t length);
aErr qlusb_get_from_kernel_device(qlusb_device* device, uint8_t* out);
aErr qlusb_close_corvantis_kernel_device(qlusb_device* device);

// Finds the data interface (class 0xFF, subclass 0x88, protocol 0x10) and its IN and OUT
// endpoints in configuration 0 of the open device: 0 when both were found, else -4 (or the
// device descriptor's libusb error).
int find_usb_endpoints(qlusb_device* device);
