// The firmware-upgrade entity following a USB device that leaves the bus: as a loader under the
// placeholder serial number, and when it reboots.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DisableEther.h"
#include "Log.h"
#include "LogCapture.h"
#include "SimTransports.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

using Phase = SimLinkDevice::PhaseChange;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;

class UpdaterEntityUsb : public UsbEmulationTest {
 protected:
  // The device with `profile` on the bus, dropping and coming back as `mode` says.
  void Plug(const SimDeviceProfile& profile, UsbReturn mode) {
    sim_ = std::make_unique<UsbSimDevice>(usb(), 6, profile);
    sim_->device.SetTransport(UsbTransport(usb(), &sim_->emulated, sim_->side, mode));
  }

  std::unique_ptr<UsbSimDevice> sim_;
};

SimDeviceProfile Profile() {
  SimDeviceProfile p;
  p.serial = kSerial;
  return p;
}

}  // namespace

TEST_F(UpdaterEntityUsb, ALoaderWithoutASerialOfItsOwnIsFoundUnderThePlaceholder) {
  SimDeviceProfile profile = Profile();
  profile.upgrade.answerLoad = false;
  Plug(profile, UsbReturn::kNewNumber);
  Phase load;
  load.link = Phase::LinkEnd::kDrop;
  load.back = Phase::Return::kOnTrigger;
  load.placeholder = true;
  load.becomes = profile;
  load.becomes->serial = 0xDEADDEAD;
  sim_->device.SetOnLoad(load);

  Tavrin::Corvantis::Module module(6, false, 0);
  RecordingDisplay display;
  ASSERT_EQ(_disableEther(module, display), aErrNone);
  ASSERT_EQ(module.connect(USB, kSerial), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  SleepRecorder sleeps(false, [&](uint32_t) { sim_->device.TriggerReturn(); });
  LogCapture log(DEBUG_Network | DEBUG_Network_FIRM);
  // Reconnected, the loader does not say it started: the wait for it runs out once more.
  EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
  EXPECT_EQ(sleeps.pauses(), std::vector<uint32_t>(5, 500));
  std::string text = log.text();
  size_t own = text.find("NETWORK: Attempting to reconnect. Attempt: 5 of 5\n");
  size_t placeholder = text.find("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5\nNETWORK: Reconnected to device\n");
  EXPECT_NE(own, std::string::npos) << text;
  EXPECT_NE(placeholder, std::string::npos) << text;
  EXPECT_LT(own, placeholder);
  EXPECT_NE(text.find("NETWORK: Invalid or reply when starting loader (Reconnect). [18, aErrTimeout]\n"),
            std::string::npos);
  linkSpec spec{};
  ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.serialNumber, 0xDEADDEADu);
  EXPECT_TRUE(module.isConnected());
}

TEST_F(UpdaterEntityUsb, TheRebootWaitEndsWhenTheDeviceLeavesTheBus) {
  Plug(Profile(), UsbReturn::kSameNumber);
  Phase reboot;
  reboot.link = Phase::LinkEnd::kDrop;
  sim_->device.SetOnReboot(reboot);

  Tavrin::Corvantis::Module module(6, false, 0);
  RecordingDisplay display;
  ASSERT_EQ(_disableEther(module, display), aErrNone);
  ASSERT_EQ(module.connect(USB, kSerial), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  SleepRecorder sleeps(true);
  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_FALSE(module.isConnected());
  EXPECT_GE(sleeps.pauses().size(), 1u);
  EXPECT_LT(sleeps.pauses().size(), 40u);
  std::vector<std::vector<uint8_t>> sent = UpgradePackets(sim_->device);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), (std::vector<uint8_t>{95, 6}));
}
