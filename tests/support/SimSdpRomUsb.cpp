// The USB faces of the simulated boot ROM: a hidraw node and the device's usbfs side.
#include <algorithm>
#include <chrono>
#include <cstddef>

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
  auto usb = std::make_unique<Usb>();
  usb->emulation = &emulation;
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
  int failAt = 0, failErrno = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt = faults_.failWriteOfReport;
    failErrno = faults_.failWriteErrno;
    jumpHandled_ = false;
    core_.reset();
  }
  Usb* raw = usb.get();
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
  for (;;) {
    Usb::Report report;
    {
      std::unique_lock<std::mutex> lock(usb->inbox->mutex);
      usb->inbox->changed.wait_for(lock, std::chrono::milliseconds(50),
                                   [usb] { return usb->inbox->stop || !usb->inbox->reports.empty(); });
      if (usb->inbox->stop) return;
      if (usb->inbox->reports.empty()) continue;
      report = std::move(usb->inbox->reports.front());
      usb->inbox->reports.pop_front();
    }
    hostReport(usb, report.hidraw, report.bytes);
    bool jumped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jumped = core_.jumped() && !jumpHandled_;
    }
    if (jumped) {
      // Unplugged here, on the ROM's thread: the emulation's handler thread must not block.
      usb->emulation->remove(*usb->device);
      usb->removed = true;
      afterJump();
    }
  }
}

void SimSdpRom::hostReport(Usb* usb, bool hidraw, const std::vector<uint8_t>& bytes) {
  std::vector<SdpRomCore::Answer> answers;
  std::vector<std::vector<uint8_t>> out;
  bool pad3;
  int size4;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back({true, bytes, aTime_GetMonotonicMS()});
    if (!bytes.empty() && bytes[0] == kCommandReport && bytes.size() >= 17) {
      core_.command(bytes.data() + 1, answers);
    } else if (!bytes.empty() && bytes[0] == kDataReport) {
      core_.data(bytes.data() + 1, bytes.size() - 1, answers);
      usb->dataReports++;
      if (faults_.talkAfterChunk > 0 && usb->dataReports == faults_.talkAfterChunk)
        out.push_back(std::vector<uint8_t>(kReportBytes, kStatusReport));
    }
    pad3 = faults_.padReport3;
    size4 = faults_.report4Size;
  }
  Usb::Face& face = hidraw ? *usb->hidrawFace : *usb->usbfsFace;
  auto emit = [&](const std::vector<uint8_t>& report) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back({false, report, aTime_GetMonotonicMS()});
    }
    face.send(report);
  };
  for (auto& r : out) emit(r);
  for (auto& a : answers) {
    if (a.delayMs > 0) aTime_MSSleep(a.delayMs);
    std::vector<uint8_t> hab = {kHabReport};
    hab.insert(hab.end(), a.hab.begin(), a.hab.end());
    if (pad3) hab.resize(kReportBytes, 0);
    emit(hab);
    for (size_t at = 0; at < a.rest.size(); at += kReportBytes - 1) {
      std::vector<uint8_t> status = {kStatusReport};
      size_t n = std::min(a.rest.size() - at, kReportBytes - 1);
      status.insert(status.end(), a.rest.begin() + static_cast<std::ptrdiff_t>(at),
                    a.rest.begin() + static_cast<std::ptrdiff_t>(at + n));
      status.resize(kReportBytes, 0);
      if (a.completion && size4 > 0 && static_cast<size_t>(size4) < status.size()) status.resize(static_cast<size_t>(size4));
      emit(status);
    }
  }
}
