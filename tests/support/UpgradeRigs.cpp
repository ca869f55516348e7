#include "UpgradeRigs.h"

#include <algorithm>

#include "DisableEther.h"
#include "SimTransports.h"
#include "UsbDeviceConfig.h"
#include "WorkflowSleep.h"
#include "unix_time.h"

SleepRecorder::SleepRecorder(bool real, std::function<void(uint32_t)> onPause)
    : real_(real), onPause_(std::move(onPause)) {
  SetWorkflowSleep([this](uint32_t ms) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      pauses_.push_back(ms);
    }
    if (onPause_) onPause_(ms);
    if (real_) aTime_MSSleep(ms);
  });
}

SleepRecorder::~SleepRecorder() { SetWorkflowSleep(nullptr); }

std::vector<uint32_t> SleepRecorder::pauses() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return pauses_;
}

std::function<void(uint32_t)> ReturnAtPause(SimLinkDevice& device, uint32_t ms, int k) {
  auto seen = std::make_shared<int>(0);
  return [&device, ms, k, seen](uint32_t pause) {
    if (pause == ms && ++*seen == k) device.TriggerReturn();
  };
}

std::vector<std::vector<uint8_t>> UpgradePackets(const SimLinkDevice& device, size_t from) {
  std::vector<std::vector<uint8_t>> payloads;
  for (const std::vector<uint8_t>& wire : ReceivedSince(device, from)) {
    if (wire.size() > 2 && wire[2] == 95) payloads.emplace_back(wire.begin() + 2, wire.end());
  }
  return payloads;
}

std::vector<uint8_t> UpgradeBlock(uint32_t address, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> block(4 + image.size());
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  std::copy(image.begin(), image.end(), block.begin() + 4);
  return block;
}

TcpUpgradeRig::TcpUpgradeRig(const SimDeviceProfile& profile, bool networking, uint8_t address)
    : sim(address, profile.serial), module(address, networking, 0) {
  ApplyProfile(sim.device.Network(), address, profile);
  sim.device.SetTransport(TcpTransport(sim.listener));
  entity.init(&module, 0, true, false);
}

aErr TcpUpgradeRig::Connect() {
  aErr err = _disableEther(module, display);
  return err != aErrNone ? err : module.connectFromSpec(sim.Spec());
}

UsbSimDevice::UsbSimDevice(UsbDeviceEmulation& usb, uint8_t address, const SimDeviceProfile& profile)
    : device(address), side(std::make_shared<SimLinkUsbSide>(device)) {
  ApplyProfile(device.Network(), address, profile);
  emulated = &usb.add(UsbConfigFor(profile.serial, profile.model));
  emulated->setDevice(side);
}
