// The update workflow in process against a simulated TCP/IP device that the probe finds: after
// the loader starts the device is looked for again over TCP/IP, every failed try letting its
// link go; and a device that never answers the address query is not taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "DeviceRigs.h"
#include "FakeUpdateServer.h"
#include "FileText.h"
#include "FlashCompare.h"
#include "Log.h"
#include "LogCapture.h"
#include "Netns.h"
#include "SimTransports.h"
#include "TcpipProbeResponder.h"
#include "TempDir.h"
#include "Updater.h"
#include "UpgradeRigs.h"

using Lines = std::vector<std::string>;
using Phase = SimLinkDevice::PhaseChange;

namespace {

constexpr uint32_t kSerial = 0x2181F0EE;
constexpr uint8_t kAddress = 8;

// The device on 127.0.0.1, announced to the probe; it drops its link at LOAD (a reset, and it
// stops listening) and listens again when the workflow's pause brings it back.
struct ProbedDevice {
  explicit ProbedDevice(int dropsOnReturn) : sim(kAddress, kSerial) {
    SimDeviceProfile profile;
    profile.serial = kSerial;
    profile.model = 13;
    profile.ueiDataAnswer = 1;
    profile.upgrade.answerLoad = false;
    ApplyProfile(sim.device.Network(), kAddress, profile);
    sim.device.SetTransport(TcpTransport(sim.listener));
    Phase load;
    load.link = Phase::LinkEnd::kDrop;
    load.back = Phase::Return::kOnTrigger;
    load.dropsOnReturn = dropsOnReturn;
    sim.device.SetOnLoad(load);
    Phase reboot;
    reboot.link = Phase::LinkEnd::kDrop;
    sim.device.SetOnReboot(reboot);
    SimulatedTcpipDevice announced;
    announced.address = "127.0.0.1";
    announced.moduleAddress = kAddress;
    announced.tcpPort = sim.listener.port();
    announced.serial = kSerial;
    announced.model = 13;
    responder.AddDevice(announced);
  }

  TcpSimDevice sim;
  TcpipProbeResponder responder;
};

UpdateImage SmallImage() {
  UpdateImage image;
  image.serial = kSerial;
  image.loaderBytes = 100;
  image.firmwareBytes = 1024;
  return image;
}

}  // namespace

// dropsOnReturn 0: the first try after the pause connects. 1: that try meets a device that
// accepts, resets at once and stops listening; the next try, after the next pause, connects.
TEST(UpdateWorkflowTcpip, FindsTheLoaderAgainOverTcpip) {
  RequirePrivateNetns();
  for (int dropsOnReturn : {0, 1}) {
    SCOPED_TRACE(dropsOnReturn);
    TempDir t;
    const ByteVec image = BirdBuilder::Update(SmallImage()).Bytes();
    WriteText(t / "fw.bird", std::string(image.begin(), image.end()));
    ProbedDevice device(dropsOnReturn);
    std::string error;
    ASSERT_TRUE(device.responder.Start(&error)) << error;
    FakeUpdateServer server;
    RecordingDisplay display;
    Updater updater(server.url().c_str(), (t / "updater").c_str(), display);
    // Every one-second pause of the search lets a device that waits come back.
    SleepRecorder sleeps(false, [&device](uint32_t ms) {
      if (ms == 1000) device.sim.device.TriggerReturn();
    });
    LogCapture log(DEBUG_Updater | DEBUG_APP);

    EXPECT_TRUE(updater.Update_Firmware(kSerial, 0, t / "fw.bird", 0, 0, false)) << log.text();
    EXPECT_TRUE(display.errors().empty());
    EXPECT_EQ(FlashDifference(DeviceMemory::Of(device.sim.device.Network(), kAddress), image, kSerial), "");
    std::vector<uint32_t> pauses = sleeps.pauses();
    EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 1000u), 1 + dropsOnReturn);
    EXPECT_EQ(device.sim.device.Returns(), static_cast<size_t>(1 + dropsOnReturn));
    // No USB context to refresh for a device on TCP/IP.
    EXPECT_EQ(log.text().find("refreshing libusb context"), std::string::npos);
  }
}

TEST(UpdateWorkflowTcpip, ADeviceSilentToTheAddressQueryIsNotTaken) {
  RequirePrivateNetns();
  TempDir t;
  const ByteVec image = BirdBuilder::Update(SmallImage()).Bytes();
  WriteText(t / "fw.bird", std::string(image.begin(), image.end()));
  ProbedDevice device(0);
  device.sim.device.SetSyncAnswers({SimLinkDevice::SyncAnswer::kNever});
  std::string error;
  ASSERT_TRUE(device.responder.Start(&error)) << error;
  FakeUpdateServer server;
  RecordingDisplay display;
  Updater updater(server.url().c_str(), (t / "updater").c_str(), display);
  SleepRecorder sleeps;
  LogCapture log(DEBUG_Updater);

  EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, t / "fw.bird", 0, 0, false));
  EXPECT_EQ(display.errors(), Lines{"Failed to connect to module [2181F0EE]"});
  // aErrNotReady
  EXPECT_NE(log.text().find("Failed _transfer_firmware(): 11\n"), std::string::npos) << log.text();
  EXPECT_TRUE(UpgradePackets(device.sim.device).empty());
}
