// The USB faces of the simulated boot ROM: a hidraw node and the device's usbfs side.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <iterator>

#include "SimSdpRomUsb.h"
#include "unix_time.h"

namespace {

constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kHabReport = 3;
constexpr uint8_t kStatusReport = 4;
constexpr size_t kReportBytes = 65;

// Vendor page; report 1: 16 bytes out, 2: 1024 out, 3: 4 in, 4: 64 in.
const std::vector<uint8_t> kReportDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                                                        //
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,  //
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91,
    0x02,                                                                                                //
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  //
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,  //
    0xC0};

}  // namespace

void SimSdpRom::plugUsb(UsbDeviceEmulation& emulation) {
  unplugUsb();
  int failAt = 0, failErrno = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt = faults_.failWriteOfReport;
    failErrno = faults_.failWriteErrno;
    jumpHandled_ = false;
    core_.reset();
  }
  auto usb = std::make_unique<Usb>();
  usb->emulation = &emulation;
  Usb* raw = usb.get();
  usb->inbox->take = [this, raw](bool hidraw, const std::vector<uint8_t>& bytes) { hostReport(raw, hidraw, bytes); };
  UsbDeviceConfig config;
  config.vendorId = 0x1FC9;
  config.productId = 0x0130;
  UsbAltSettingSpec hid;
  hid.interfaceClass = 3;
  hid.interfaceSubClass = 0;
  hid.interfaceProtocol = 0;
  hid.endpoints = {{0x81, 0x03, 1024}};
  config.interfaces = {UsbInterfaceSpec{{hid}}};
  config.hidReportDescriptor = kReportDescriptor;
  usb->device = &emulation.add(config);
  usb->usbfsFace = std::make_shared<Usb::Face>(usb->inbox, false);
  usb->device->setDevice(usb->usbfsFace);

  HidrawSpec spec;
  spec.name = "SE Blank RT Family";
  spec.reportDescriptor = kReportDescriptor;
  usb->node = &emulation.addHidraw(*usb->device, spec);
  usb->hidrawFace = std::make_shared<Usb::Face>(usb->inbox, true);
  usb->node->setDevice(usb->hidrawFace);
  usb->node->setWriteErrno([raw, failAt, failErrno](const uint8_t*, size_t) {
    return ++raw->writesSeen == failAt ? failErrno : 0;
  });
  usb->thread = std::thread([this, raw] { usbLoop(raw); });
  usb_ = std::move(usb);
}

void SimSdpRom::unplugUsb() {
  if (!usb_) return;
  {
    std::lock_guard<std::mutex> lock(usb_->inbox->mutex);
    usb_->inbox->stop = true;
  }
  usb_->inbox->changed.notify_all();
  if (usb_->thread.joinable()) usb_->thread.join();
  usb_->node->setDevice(nullptr);
  usb_->device->setDevice(nullptr);
  if (!usb_->removed) usb_->emulation->remove(*usb_->device);
  usb_.reset();
}

std::string SimSdpRom::hidrawPath() const { return usb_ ? usb_->node->path() : std::string(); }
EmulatedUsbDevice* SimSdpRom::usbDevice() const { return usb_ ? usb_->device : nullptr; }
EmulatedHidrawNode* SimSdpRom::hidrawNode() const { return usb_ ? usb_->node : nullptr; }

void SimSdpRom::usbLoop(Usb* usb) {
  Usb::Inbox& inbox = *usb->inbox;
  for (;;) {
    Usb::Work work;
    {
      std::unique_lock<std::mutex> lock(inbox.mutex);
      inbox.busy = false;
      inbox.changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return inbox.stop || !inbox.work.empty(); });
      if (inbox.stop) return;
      if (inbox.work.empty()) continue;
      work = std::move(inbox.work.front());
      inbox.work.pop_front();
      inbox.busy = true;
    }
    for (const Usb::Emission& e : work.emissions) {
      if (e.delayMs > 0) aTime_MSSleep(e.delayMs);
      emitReport(usb, work.hidraw, e.bytes);
    }
    if (work.jump) {
      // Unplugged here, on the ROM's thread: the emulation's handler thread must not block.
      usb->emulation->remove(*usb->device);
      usb->removed = true;
      afterJump();
    }
  }
}

// On the handler thread, under the inbox's lock: the report is taken in arrival order, and the
// answers go out at once unless they wait or earlier ones are still queued for the thread.
void SimSdpRom::hostReport(Usb* usb, bool hidraw, const std::vector<uint8_t>& bytes) {
  std::vector<Usb::Emission> emissions;
  bool jump = false;
  {
    std::vector<SdpRomCore::Answer> answers;
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back({true, bytes, aTime_GetMonotonicMS()});
    if (!bytes.empty() && bytes[0] == kCommandReport && bytes.size() >= 17) {
      core_.command(bytes.data() + 1, answers);
    } else if (!bytes.empty() && bytes[0] == kDataReport) {
      core_.data(bytes.data() + 1, bytes.size() - 1, answers);
      usb->dataReports++;
      if (faults_.talkAfterChunk > 0 && usb->dataReports == faults_.talkAfterChunk)
        emissions.push_back({0, std::vector<uint8_t>(kReportBytes, kStatusReport)});
    }
    for (auto& a : answers) {
      std::vector<uint8_t> hab = {kHabReport};
      hab.insert(hab.end(), a.hab.begin(), a.hab.end());
      if (faults_.padReport3) hab.resize(kReportBytes, 0);
      emissions.push_back({a.delayMs, std::move(hab)});
      for (size_t at = 0; at < a.rest.size(); at += kReportBytes - 1) {
        std::vector<uint8_t> status = {kStatusReport};
        size_t n = std::min(a.rest.size() - at, kReportBytes - 1);
        status.insert(status.end(), a.rest.begin() + static_cast<std::ptrdiff_t>(at),
                      a.rest.begin() + static_cast<std::ptrdiff_t>(at + n));
        status.resize(kReportBytes, 0);
        int size4 = faults_.report4Size;
        if (a.completion && size4 > 0 && static_cast<size_t>(size4) < status.size()) status.resize(static_cast<size_t>(size4));
        emissions.push_back({0, std::move(status)});
      }
    }
    jump = core_.jumped() && !jumpHandled_ && !usb->jumpQueued;
    usb->jumpQueued = usb->jumpQueued || jump;
  }
  Usb::Inbox& inbox = *usb->inbox;
  size_t sent = 0;
  if (inbox.work.empty() && !inbox.busy)
    for (; sent < emissions.size() && emissions[sent].delayMs == 0; ++sent) emitReport(usb, hidraw, emissions[sent].bytes);
  if (sent == emissions.size() && !jump) return;
  Usb::Work work{hidraw, {}, jump};
  work.emissions.assign(std::make_move_iterator(emissions.begin() + static_cast<std::ptrdiff_t>(sent)),
                        std::make_move_iterator(emissions.end()));
  inbox.work.push_back(std::move(work));
  inbox.changed.notify_all();
}

void SimSdpRom::emitReport(Usb* usb, bool hidraw, const std::vector<uint8_t>& report) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back({false, report, aTime_GetMonotonicMS()});
  }
  (hidraw ? *usb->hidrawFace : *usb->usbfsFace).send(report);
}
