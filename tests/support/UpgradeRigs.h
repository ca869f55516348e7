#pragma once
// The firmware-upgrade entity against the simulated device, for tests and benchmarks of the
// upgrade and the workflows that use it.
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include <memory>

#include "DeviceRigs.h"
#include "RecordingDisplay.h"
#include "SimDeviceProfile.h"
#include "SimLinkUsbSide.h"
#include "UpdaterEntity.h"
#include "UsbDeviceEmulation.h"

// Stands in for the workflows' sleep (WorkflowSleep.h) while it lives: records every pause,
// calls onPause with it (a device's TriggerReturn, say), then sleeps for real or returns at once.
class SleepRecorder {
 public:
  explicit SleepRecorder(bool real = false, std::function<void(uint32_t ms)> onPause = {});
  ~SleepRecorder();
  SleepRecorder(const SleepRecorder&) = delete;
  SleepRecorder& operator=(const SleepRecorder&) = delete;

  std::vector<uint32_t> pauses() const;

 private:
  bool real_;
  std::function<void(uint32_t)> onPause_;
  mutable std::mutex mutex_;
  std::vector<uint32_t> pauses_;
};

// For SleepRecorder: brings the device back (TriggerReturn) at the k-th pause (from 1) that
// lasts `ms`, counted from when the procedure is made; the device's transport says how (over
// USB at the same device number or a new one, UsbTransport).
std::function<void(uint32_t ms)> ReturnAtPause(SimLinkDevice& device, uint32_t ms, int k);

// The payloads of the command-95 packets the device received, from packet index `from` on.
std::vector<std::vector<uint8_t>> UpgradePackets(const SimLinkDevice& device, size_t from = 0);

// A loader or firmware block: the big-endian load address, then the image.
std::vector<uint8_t> UpgradeBlock(uint32_t address, const std::vector<uint8_t>& image);

// A TCP device with a profile at `address` and an UpdaterEntity (index 0, sums checked, not
// routed) bound to a Module(address, networking, 0) that Connect() connects after _disableEther.
// The device's transport drops and returns through its listener.
struct TcpUpgradeRig {
  explicit TcpUpgradeRig(const SimDeviceProfile& profile = {}, bool networking = false, uint8_t address = 6);
  aErr Connect();
  SimNetwork& network() { return sim.device.Network(); }
  std::vector<std::vector<uint8_t>> Packets95(size_t from = 0) const { return UpgradePackets(sim.device, from); }

  TcpSimDevice sim;
  Tavrin::Corvantis::Module module;
  RecordingDisplay display;
  UpdaterEntity entity;
};

// A device with a profile at `address` behind an emulated USB device of the family whose
// product id is the profile's model. The emulation holds its side: destroy it after the
// emulation (as a member of a UsbEmulationTest fixture, which ends the emulation in TearDown).
struct UsbSimDevice {
  UsbSimDevice(UsbDeviceEmulation& usb, uint8_t address, const SimDeviceProfile& profile);
  UsbSimDevice(const UsbSimDevice&) = delete;
  UsbSimDevice& operator=(const UsbSimDevice&) = delete;
  SimNetwork& network() { return device.Network(); }

  SimLinkDevice device;
  std::shared_ptr<SimLinkUsbSide> side;
  EmulatedUsbDevice* emulated;
};
