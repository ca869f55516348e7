#pragma once
// Inside of SimSdpRom: its USB faces.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SimSdpRom.h"
#include "UsbByteDevice.h"
#include "UsbDeviceEmulation.h"

// The ROM's USB device and hidraw node on an emulation, and the thread that takes the host's
// reports from them (handed over by the emulation's handler thread, which must not block).
struct SimSdpRom::Usb {
  struct Report {
    bool hidraw;
    std::vector<uint8_t> bytes;
  };
  // Reports from the faces; shared with them, so that a late delivery finds it alive.
  struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Report> reports;
    bool stop = false;
    void take(bool hidraw, std::vector<uint8_t> bytes) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back({hidraw, std::move(bytes)});
      }
      changed.notify_all();
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
      inbox_->take(hidraw_, std::vector<uint8_t>(data, data + size));
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
  std::thread thread;
};
