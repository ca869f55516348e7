#pragma once
// Inside of SimSdpRom: its USB faces.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SimSdpRom.h"
#include "UsbByteDevice.h"
#include "UsbDeviceEmulation.h"

// The ROM's USB device and hidraw node on an emulation. A host report is taken on the
// emulation's handler thread as it arrives, and what the ROM answers at once goes out there
// too, before the host's write returns; what must wait (a late answer, the unplug at a jump)
// goes to the ROM's thread, since the handler thread must not block.
struct SimSdpRom::Usb {
  // A report for the host, after a pause.
  struct Emission {
    uint64_t delayMs;
    std::vector<uint8_t> bytes;
  };
  // Work for the ROM's thread: emissions in order, then perhaps the jump's unplug.
  struct Work {
    bool hidraw;
    std::vector<Emission> emissions;
    bool jump = false;
  };
  // Shared with the faces, so that a late delivery finds it alive. Its lock is held while a
  // report is taken, so that once stop is set no report reaches the ROM any more.
  struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Work> work;
    bool busy = false;  // the ROM's thread is doing work taken from the queue
    bool stop = false;
    std::function<void(bool hidraw, const std::vector<uint8_t>& bytes)> take;  // called under the lock
    void fromHost(bool hidraw, std::vector<uint8_t> bytes) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!stop && take) take(hidraw, bytes);
    }
  };
  // One face: what the host writes through it arrives as whole reports.
  class Face : public UsbByteDevice {
   public:
    Face(std::shared_ptr<Inbox> inbox, bool hidraw) : inbox_(std::move(inbox)), hidraw_(hidraw) {}
    void attach(UsbToHost toHost) override {
      std::lock_guard<std::mutex> lock(mutex_);
      toHost_ = std::move(toHost);
    }
    void fromHost(const uint8_t* data, size_t size) override {
      inbox_->fromHost(hidraw_, std::vector<uint8_t>(data, data + size));
    }
    void send(const std::vector<uint8_t>& report) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (toHost_) toHost_(report.data(), report.size());
    }

   private:
    std::shared_ptr<Inbox> inbox_;
    bool hidraw_;
    std::mutex mutex_;
    UsbToHost toHost_;
  };

  UsbDeviceEmulation* emulation = nullptr;
  EmulatedUsbDevice* device = nullptr;
  EmulatedHidrawNode* node = nullptr;
  bool removed = false;
  std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
  std::shared_ptr<Face> hidrawFace;
  std::shared_ptr<Face> usbfsFace;
  std::atomic<int> writesSeen{0};  // host writes to the node, failed ones included
  int dataReports = 0;
  bool jumpQueued = false;
  std::thread thread;
};
