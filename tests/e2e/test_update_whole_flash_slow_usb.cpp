// updater -U over USB with a whole-flash image: 16 KiB of code and erased flash up to 1 MiB,
// a body of far more than 8 times its file. A megabyte over the emulated bus takes a while.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FileText.h"
#include "FlashCompare.h"
#include "RunUpdater.h"
#include "SimTransports.h"
#include "TempDir.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;

// The device outlives the emulation's teardown, as in every test of the bus.
class UpdateWholeFlashUsb : public UsbEmulationTest {
 protected:
  std::unique_ptr<UsbSimDevice> sim_;
};

}  // namespace

TEST_F(UpdateWholeFlashUsb, IsWrittenWhole) {
  UpdateImage whole;
  whole.firmwareBlocks = 1;
  whole.firmwareBytes = 1 << 20;
  whole.codeBytes = 16 << 10;
  const std::vector<uint8_t> image = BirdBuilder::Update(whole).Bytes();
  ASSERT_GT(BirdBuilder::Update(whole).InflatedBody().size(), 8 * image.size());
  TempDir t;
  WriteText(t / "fw.bird", std::string(image.begin(), image.end()));

  SimDeviceProfile profile;
  profile.serial = kSerial;
  profile.model = 13;
  profile.ueiDataAnswer = 1;  // takes data packets only
  sim_ = std::make_unique<UsbSimDevice>(usb(), kAddress, profile);
  UsbSimDevice& sim = *sim_;
  sim.device.SetTransport(UsbTransport(usb(), &sim.emulated, sim.side, UsbReturn::kSameNumber));
  SimLinkDevice::PhaseChange reboot;
  reboot.link = SimLinkDevice::PhaseChange::LinkEnd::kDrop;
  sim.device.SetOnReboot(reboot);

  RunOptions options;
  AddUsbEmulationEnv(options);
  options.timeoutMs = 240000;
  RunResult run = RunUpdater({"-i", t / "s", "-u", "http://127.0.0.1:9/cgi/u", "-U", "-d", "40F5849A", "-f",
                              t / "fw.bird"},
                             options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(FlashDifference(DeviceMemory::Of(sim.network(), kAddress), image, kSerial), "");
}
