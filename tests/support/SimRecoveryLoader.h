#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "SimDeviceProfile.h"
#include "SimLinkDevice.h"
#include "SimLinkUsbSide.h"
#include "SimSdpRom.h"
#include "UsbDeviceEmulation.h"

// The recovery loader that an i.MX boot ROM starts: once the ROM jumps (any face), it comes up
// on the emulated bus after a delay as a device of the family, on this object's own thread,
// never inside an emulation handler. It answers the system entity (its identifier in option
// 39, subindexes 0 to 3) and the firmware-upgrade entity. A reset call makes it leave the bus
// and the chip fall back to its ROM, which is ready again on its face; REBOOT makes it leave
// the bus for good (the new firmware runs). Its flash model keeps what the upgrade wrote.
class SimRecoveryLoader {
 public:
  enum class Plug {
    kAfterDelay,  // plugDelayMs after each jump
    kNever,       // only PlugIn() brings it (a test's pause trigger, say)
  };
  struct Settings {
    uint32_t serial = 0xDEADDEAD;
    uint32_t identifier[4] = {1, 2, 3, 4};  // values of subindexes 0 to 3
    std::optional<uint8_t> refusedSubindex;   // this subindex gets an error reply
    Plug plug = Plug::kAfterDelay;
    uint32_t plugDelayMs = 200;
    bool ignoreFirstHandshake = false;  // its first link gets no AD 00 answer; later ones do
    uint8_t address = 6;
    uint8_t model = 0x13;
  };

  // Hooks the ROM's jump. Destroy this before the emulation.
  SimRecoveryLoader(UsbDeviceEmulation& usb, SimSdpRom& rom, const Settings& settings);
  SimRecoveryLoader(UsbDeviceEmulation& usb, SimSdpRom& rom) : SimRecoveryLoader(usb, rom, Settings{}) {}
  ~SimRecoveryLoader();
  SimRecoveryLoader(const SimRecoveryLoader&) = delete;
  SimRecoveryLoader& operator=(const SimRecoveryLoader&) = delete;

  // Comes up on the bus now (from any thread but an emulation handler's); nothing when it is up.
  void PlugIn();
  // The ROM jumped: comes up after the delay (kAfterDelay). The ROM's jump hook calls it; a
  // hook set in its place (to print the jump, say) calls it in turn.
  void Jumped(uint32_t address);

  SimLinkDevice& device() { return device_; }
  SimNetwork& network() { return device_.Network(); }
  const Settings& settings() const { return settings_; }

  // Records.
  size_t plugIns() const;
  bool plugged() const;
  size_t resets() const;   // reset calls taken
  bool rebooted() const;   // REBOOT taken, off the bus
  std::vector<uint8_t> flash(uint32_t address, size_t n) const;
  bool waitPlugIns(size_t n, uint64_t ms) const;
  bool waitUnplugged(uint64_t ms) const;

 private:
  void schedule(uint64_t dueMs, std::function<void()> action);
  void run();
  void plugInNow();
  void addToBus();
  void unplug();

  UsbDeviceEmulation& usb_;
  SimSdpRom& rom_;
  const Settings settings_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<std::pair<uint64_t, std::function<void()>>> work_;
  bool stop_ = false;
  EmulatedUsbDevice* emulated_ = nullptr;  // while on the bus
  size_t plugIns_ = 0;
  size_t resets_ = 0;
  bool rebooted_ = false;
  std::thread thread_;

  // Last: the device's thread, which calls back into the members above, ends first.
  SimLinkDevice device_;
  std::shared_ptr<SimLinkUsbSide> side_;
};
