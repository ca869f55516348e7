#pragma once
// Inside of the USB emulation, shared by its source files only.
#include <umockdev.h>

#include <deque>
#include <list>
#include <vector>
#include <mutex>
#include <string>

#include "UsbDeviceEmulation.h"

// Bytes as umockdev's records take them: lower-case hex digits, no spaces.
std::string UsbEmulationHex(const std::vector<uint8_t>& bytes);
// Records into the testbed, and a handler onto a node; failures throw std::runtime_error
// naming `what`.
void UsbEmulationAddRecords(UMockdevTestbed* bed, const std::string& records, const char* what);
void UsbEmulationAttach(UMockdevTestbed* bed, const char* node, UMockdevIoctlBase* handler, const char* what);

struct EmulatedUsbDevice::Impl {
  struct Urb {
    UMockdevIoctlClient* client;
    gulong address;             // the URB's address in the client
    UMockdevIoctlData* urb;     // resolved usbdevfs_urb
    UMockdevIoctlData* buffer;  // resolved transfer buffer
    int filled = 0;             // IN: bytes already in the buffer
    bool held = false;          // OUT: waits for a discard
    int holdMoved = 0;          // OUT: bytes it reports on discard
  };
  struct InChunk {
    std::vector<uint8_t> bytes;
    bool complete;  // ends the IN URB that takes its last byte
    size_t offset = 0;
  };

  UsbDeviceConfig spec;
  int bus = 1;
  int number = 0;
  std::string node;
  std::string sys;
  UMockdevIoctlBase* handler = nullptr;

  mutable std::mutex mutex;
  std::shared_ptr<UsbByteDevice> device;
  std::deque<InChunk> in;
  std::deque<int> inFaults, outFaults, outHolds;
  bool stallStrings = false;  // string requests but the language table stall
  int claimErrno = 0;
  int clearHaltErrno = 0;
  bool unplugged = false;
  std::list<Urb> pending;    // submitted, not completed, in submit order
  std::list<Urb> completed;  // completed, not reaped, in completion order
  std::deque<std::vector<uint8_t>> toDevice;
  std::vector<UsbUrbRecord> records;
  std::vector<uint8_t> halts;
  int claimCount = 0, releaseCount = 0, discards = 0;
  std::vector<UMockdevIoctlClient*> clients;  // open, as far as known (referenced)
  int openCount = 0;

  std::mutex deliverMutex;  // keeps the device's input in completion order

  ~Impl();
  void connect();  // makes the handler
  void completeLocked(std::list<Urb>::iterator it, int status, int actual);
  void fillInLocked();
  void failAllPendingLocked(int status);
  void deliverToDevice();
  void pruneClientsLocked(std::vector<Urb>& dropped);
  static void releaseUrbs(std::vector<Urb>& urbs);
};
