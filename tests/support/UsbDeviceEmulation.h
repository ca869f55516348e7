#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UsbByteDevice.h"
#include "UsbDeviceConfig.h"

// USB devices emulated in a umockdev testbed made in this process. Each device is a sysfs record
// (busnum, devnum, speed, configuration value, descriptors) and a node /dev/bus/usb/BBB/DDD
// whose usbfs ioctls a handler answers: capabilities, claim and release, URB submit, reap and
// discard, clear-halt. libusb in this process sees the devices only when the process runs under
// umockdev-wrapper (see active()).

// One completed URB, as the host saw it.
struct UsbUrbRecord {
  uint8_t type;       // USBDEVFS_URB_TYPE_*
  uint8_t endpoint;
  int length;         // buffer length submitted
  int actual;         // bytes moved
  int status;         // 0, -ENOENT when discarded, or the injected status
  std::vector<uint8_t> data;  // OUT: the bytes moved
};

class EmulatedUsbDevice {
 public:
  struct Impl;
  explicit EmulatedUsbDevice(std::shared_ptr<Impl> impl);
  ~EmulatedUsbDevice();
  EmulatedUsbDevice(const EmulatedUsbDevice&) = delete;
  EmulatedUsbDevice& operator=(const EmulatedUsbDevice&) = delete;

  const UsbDeviceConfig& spec() const;
  int busNumber() const;
  int deviceNumber() const;
  std::string nodePath() const;  // "/dev/bus/usb/001/002"
  std::string sysPath() const;   // "/sys/devices/..."

  // The byte-level device behind this one (none: OUT bytes are only recorded).
  void setDevice(std::shared_ptr<UsbByteDevice> device);
  std::shared_ptr<UsbByteDevice> device() const;

  // Bytes for the host's IN transfers. An IN URB takes what is queued, up to its length, and
  // completes; with `complete` false the bytes go into it but it stays pending (as when a device
  // sends full packets and no short one), so that a discard on time-out returns them.
  void queueIn(const void* data, size_t size, bool complete = true);

  // Faults. The next `count` IN (or OUT) URBs complete at once with this status (-EPIPE: stall,
  // -EPROTO: I/O error) and move nothing.
  void failIn(int status, int count = 1);
  void failOut(int status, int count = 1);
  // The next `count` OUT URBs stay pending until discarded, then complete as having moved
  // `moved` bytes (-1: all), which the device receives.
  void holdOut(int moved = -1, int count = 1);
  void setClaimErrno(int err);      // 0: claims succeed
  void setClearHaltErrno(int err);  // 0: clear-halt succeeds
  // Control requests for string descriptors other than the language table stall (-EPIPE).
  void stallStringRequests(bool stall = true);
  // Unplugged: every pending URB completes with -ENODEV; submits, claims, releases, clear-halts
  // and control transfers fail with ENODEV. Replug serves the same device number again.
  void unplug();
  void replug();

  // Records.
  std::vector<UsbUrbRecord> urbs() const;               // every completed URB, in order
  std::vector<std::vector<uint8_t>> outTransfers() const;  // data of completed bulk/interrupt OUT URBs
  std::vector<uint8_t> outBytes() const;                 // all of them, concatenated
  std::vector<uint8_t> clearedHalts() const;             // endpoints, in order
  int claims() const;    // successful claims
  int releases() const;  // successful releases
  int discards() const;  // URBs discarded while pending (libusb's time-outs)
  int pendingIn() const;  // bulk or interrupt IN URBs submitted and not completed yet
  int openHandles() const;  // clients with the node open now
  int opens() const;        // clients that ever opened the node
  void clearRecords();

  // Waits (at most `ms` milliseconds, polling) until `condition` holds; true when it did.
  static bool WaitFor(const std::function<bool()>& condition, int ms);

 private:
  std::shared_ptr<Impl> impl_;
};

// A node "/dev/corvantis.%08X" as the optional kernel driver makes it: umockdev backs it with a
// pseudo-terminal. The kit keeps the slave open in raw mode (VMIN 0, VTIME 0), so that reads with
// nothing waiting return 0, and moves bytes between the master and the byte-level device on a
// thread of its own.
class EmulatedUsbNode {
 public:
  struct Impl;
  explicit EmulatedUsbNode(std::unique_ptr<Impl> impl);
  ~EmulatedUsbNode();
  EmulatedUsbNode(const EmulatedUsbNode&) = delete;
  EmulatedUsbNode& operator=(const EmulatedUsbNode&) = delete;

  std::string path() const;  // "/dev/corvantis.0000ABCD"
  void setDevice(std::shared_ptr<UsbByteDevice> device);
  void queueIn(const void* data, size_t size);  // bytes the host will read
  std::vector<uint8_t> received() const;         // bytes the host wrote

 private:
  std::unique_ptr<Impl> impl_;
};

// What the kernel's HID driver makes of a HID interface of an emulated device: the interface,
// HID and hidraw records (HID_ID, HID_NAME, HID_UNIQ, also as the HID record's uevent, its
// report_descriptor, and the hidraw record's link "device" to it) and a node /dev/hidraw<n>.
// umockdev backs the node with a pty; a handler answers HIDIOCGRDESCSIZE and HIDIOCGRDESC and
// takes each write whole as one report (or fails it with an injected errno), returning once the
// device has taken it. Poll is the pty's; the handler serves each read with one report, and
// input reports go to the pty one at a time, the next as the read of the one before returns
// (queued reports would merge into one read).
struct HidrawSpec {
  std::string name = "Emulated HID device";  // HID_NAME
  std::string uniq;                          // HID_UNIQ
  std::vector<uint8_t> reportDescriptor;
  uint8_t interfaceNumber = 0;
};

class EmulatedHidrawNode {
 public:
  struct Impl;
  explicit EmulatedHidrawNode(std::unique_ptr<Impl> impl);
  ~EmulatedHidrawNode();
  EmulatedHidrawNode(const EmulatedHidrawNode&) = delete;
  EmulatedHidrawNode& operator=(const EmulatedHidrawNode&) = delete;

  std::string path() const;  // "/dev/hidraw0"
  // Each host write reaches the device as one fromHost call; each toHost call is one input report.
  void setDevice(std::shared_ptr<UsbByteDevice> device);
  // Decides each host write's fate on the emulation's thread (do not block): 0 takes it, any
  // other value fails the write with that errno. None set: every write is taken.
  void setWriteErrno(std::function<int(const uint8_t* data, size_t size)> decide);
  std::vector<std::vector<uint8_t>> writes() const;  // taken writes, in order
  int openHandles() const;  // clients with the node open now
  int opens() const;        // clients that ever opened it
  bool unplugged() const;

 private:
  friend class UsbDeviceEmulation;
  void stopPump();
  std::unique_ptr<Impl> impl_;
};

class UsbDeviceEmulation {
 public:
  UsbDeviceEmulation();
  ~UsbDeviceEmulation();
  UsbDeviceEmulation(const UsbDeviceEmulation&) = delete;
  UsbDeviceEmulation& operator=(const UsbDeviceEmulation&) = delete;

  // True when this process runs under umockdev-wrapper, so that libusb and file calls see the
  // testbed. Without it the devices exist only as files in a temporary folder.
  bool active() const { return active_; }

  // A new device on bus 1 at the next free device number (numbers are never reused: umockdev
  // allows one handler per node path).
  EmulatedUsbDevice& add(const UsbDeviceConfig& spec);
  // Takes the device's record and node out of the testbed. A libusb context that already exists
  // keeps listing it; its open handles get ENODEV from then on (it stays unplugged).
  void remove(EmulatedUsbDevice& device);
  // Takes away only the device's node: the record stays, so libusb lists the device, but
  // opening it fails with LIBUSB_ERROR_NO_DEVICE, as for a device gone between listing and open.
  void removeNode(EmulatedUsbDevice& device);
  // The same device (spec and byte-level device) added again at a new device number.
  EmulatedUsbDevice& readd(EmulatedUsbDevice& old);

  // The kernel driver's node for `serial`.
  EmulatedUsbNode& addNode(uint32_t serial);

  // A hidraw node for a HID interface of `device` (at the next free hidraw number); remove()
  // takes it away with the device.
  EmulatedHidrawNode& addHidraw(EmulatedUsbDevice& device, const HidrawSpec& spec);

 private:
  struct Testbed;
  struct _UMockdevTestbed* bedHandle() const;
  void removeHidraws(EmulatedUsbDevice& device);

  std::unique_ptr<Testbed> testbed_;
  bool active_ = false;
  int nextDeviceNumber_ = 2;
  std::vector<std::unique_ptr<EmulatedUsbDevice>> devices_;
  std::vector<std::unique_ptr<EmulatedUsbNode>> nodes_;
  struct HidrawEntry {
    EmulatedUsbDevice* device;
    std::unique_ptr<EmulatedHidrawNode> node;
  };
  std::vector<HidrawEntry> hidraws_;
  int nextHidraw_ = 0;
};
