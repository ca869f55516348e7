// The update workflow in process against simulated devices on an emulated USB bus: the build
// it picks, the loader and firmware phases, how it finds the device again after the loader
// starts, and what it checks of the image. A device that is not on the bus is looked for over
// TCP/IP as well, whose probe stays inside this program's namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FakeUpdateServer.h"
#include "FileText.h"
#include "FlashCompare.h"
#include "Log.h"
#include "LogCapture.h"
#include "Netns.h"
#include "SimTransports.h"
#include "TempDir.h"
#include "UpdateTransfer.h"
#include "Updater.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

using Lines = std::vector<std::string>;
using Phase = SimLinkDevice::PhaseChange;
using Fault = SimUpgradeFault;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;
constexpr unsigned kTopics = DEBUG_Updater | DEBUG_APP | DEBUG_BirdFile;
const char* const kNewFirmware = "New firmware is available.  Updater will proceed if valid firmware is found locally.";
const char* const kRefresh = "Failed enumeration after 3 tries, refreshing libusb context.\n";

SimDeviceProfile DeviceProfile() {
  SimDeviceProfile p;
  p.serial = kSerial;
  p.model = 13;
  p.ueiDataAnswer = 1;  // data packets
  return p;
}

// Small enough to send in well under a second: 100 loader bytes, two firmware blocks of 4 pieces.
UpdateImage SmallImage() {
  UpdateImage image;
  image.loaderBytes = 100;
  image.firmwareBytes = 1024;
  return image;
}

size_t CountSub(const std::vector<std::vector<uint8_t>>& packets, uint8_t sub) {
  return static_cast<size_t>(std::count_if(packets.begin(), packets.end(),
                                           [sub](const std::vector<uint8_t>& p) { return p.size() >= 2 && p[1] == sub; }));
}

class UpdateWorkflow : public UsbEmulationTest {
 protected:
  std::string Dir() const { return dir_ / "updater"; }
  std::string Folder() const { return Dir() + "/40F5849A"; }
  void StoreImage(uint32_t build, const ByteVec& bytes) {
    ASSERT_TRUE(MakeFolders(Folder()));
    WriteText(Folder() + "/" + std::to_string(build) + ".bird", std::string(bytes.begin(), bytes.end()));
  }
  void StoreSettings(const std::string& text) {
    ASSERT_TRUE(MakeFolders(Folder()));
    WriteText(Folder() + "/.settings", text);
  }
  UsbSimDevice& Plug(const SimDeviceProfile& profile, UsbReturn mode = UsbReturn::kSameNumber) {
    sim_ = std::make_unique<UsbSimDevice>(usb(), kAddress, profile);
    sim_->device.SetTransport(UsbTransport(usb(), &sim_->emulated, sim_->side, mode));
    Phase reboot;
    reboot.link = Phase::LinkEnd::kDrop;
    sim_->device.SetOnReboot(reboot);
    return *sim_;
  }
  bool Update(uint32_t build, const std::string& path = "", bool overrideChecks = false,
              const std::string& url = "") {
    Updater updater(url.empty() ? server_.url().c_str() : url.c_str(), Dir().c_str(), display_);
    updater.Set_UEIBytes_Load(true);
    return updater.Update_Firmware(kSerial, build, path, 0, 0, overrideChecks);
  }
  std::string FlashAgainst(const ByteVec& image) const {
    return FlashDifference(DeviceMemory::Of(sim_->device.Network(), kAddress), image, kSerial);
  }

  TempDir dir_;
  FakeUpdateServer server_;
  RecordingDisplay display_;
  std::unique_ptr<UsbSimDevice> sim_;
};

}  // namespace

// Each run ends before a device is needed: at its connection, which finds none, or earlier.
TEST_F(UpdateWorkflow, PicksTheBuild) {
  RequirePrivateNetns();
  const std::string closed = [] {
    FakeUpdateServer gone;
    return gone.url();
  }();
  struct Row {
    const char* name;
    uint32_t build;                     // -b
    std::optional<std::string> newest;  // the server's answer to op=qu; none: its port is closed
    std::vector<uint32_t> stored;
    std::string settings;               // none: no device folder at all
    Lines infos;
    Lines errors;
    std::string logged;                 // a line the log holds
  };
  const std::string failedConnect = "Failed to connect to module [40F5849A]";
  const Row rows[] = {
      {"server unreachable", 0, std::nullopt, {}, "CREATED_TIME=x\n", {}, {"Could not find valid build for this device."},
       "Error: Could not convert  to int.\n"},
      {"the latest download", 0, "1300", {1200}, "LATEST_DOWNLOAD=1200.bird\n",
       {kNewFirmware, "Updating with the Latest Download", "Updating firmware with build: 1200"}, {failedConnect}, ""},
      {"the latest transfer", 0, "1300", {1234}, "LATEST_TRANSFER=1234.bird\n",
       {kNewFirmware, "Updating with the Latest Transfer", "Updating firmware with build: 1234"}, {failedConnect}, ""},
      {"a build given", 1300, "1300", {}, "", {"Updating firmware with build: 1300"}, {"Failed to load bird file"}, ""},
      {"a build beyond 32 bits", 0, "4294968596", {1300, 1200}, "LATEST_DOWNLOAD=1200.bird\n",
       {"Updating with the Latest Download", "Updating firmware with build: 1200"}, {failedConnect},
       "Error: Could not convert 4294968596 to int.\n"},
      {"no device folder", 0, "1300", {}, "", {kNewFirmware}, {"Could not find valid build for this device."}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RemoveTree(Dir());
    ASSERT_TRUE(MakeFolders(Dir()));  // as main makes it
    for (uint32_t build : row.stored) StoreImage(build, BirdBuilder::Update([build] {
                                                 UpdateImage image = SmallImage();
                                                 image.build = build;
                                                 return image;
                                               }()).Bytes());
    if (!row.settings.empty()) StoreSettings(row.settings);
    if (row.newest) server_.Set("qu", FakeReply().Body("ok\n" + *row.newest + "\n2.12.5\n"));
    size_t asked = server_.count("qu");
    TreeSnapshot before = SnapshotTree(dir_.path());
    display_.events.clear();
    LogCapture log(kTopics);

    EXPECT_FALSE(Update(row.build, "", false, row.newest ? "" : closed));
    EXPECT_EQ(display_.infos(), row.infos);
    EXPECT_EQ(display_.errors(), row.errors);
    if (!row.logged.empty()) {
      EXPECT_NE(log.text().find(row.logged), std::string::npos) << log.text();
    }
    EXPECT_EQ(server_.count("qu") - asked, row.build == 0 && row.newest ? 1u : 0u);
    // No entry, nothing to read: not even a path made of an empty folder name.
    if (row.settings.empty()) {
      EXPECT_EQ(log.text().find("BIRDFILE"), std::string::npos) << log.text();
    }
    EXPECT_EQ(TreeDifference(before, SnapshotTree(dir_.path())), "");
  }
}

// The loader and firmware phases as the device answers them; each run is a whole update.
struct PhaseRow {
  const char* name;
  std::function<void(UpdateImage&, SimDeviceProfile&)> setUp;
  std::vector<Fault> faults;
  bool done;
  Lines errors;
  std::string logged;
  std::function<void(const std::vector<std::vector<uint8_t>>& sent, const Lines& infos)> check;
};

// Test names show the row's name only.
void PrintTo(const PhaseRow& row, std::ostream* out) { *out << row.name; }

class UpdatePhases : public UpdateWorkflow, public ::testing::WithParamInterface<PhaseRow> {};

TEST_P(UpdatePhases, SendsLoaderAndFirmware) {
  const PhaseRow& row = GetParam();
  UpdateImage image = SmallImage();
  SimDeviceProfile profile = DeviceProfile();
  if (row.setUp) row.setUp(image, profile);
  ByteVec bytes = BirdBuilder::Update(image).Bytes();
  StoreImage(1300, bytes);
  StoreSettings("CREATED_TIME=x\n");
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  UsbSimDevice& sim = Plug(profile);
  for (const Fault& fault : row.faults) sim.network().AddUpgradeFault(kAddress, fault);
  SleepRecorder sleeps;
  LogCapture log(kTopics);

  EXPECT_EQ(Update(0), row.done);
  EXPECT_EQ(display_.errors(), row.errors);
  if (!row.logged.empty()) {
    EXPECT_NE(log.text().find(row.logged), std::string::npos) << log.text();
  }
  if (row.done) {
    EXPECT_EQ(FlashAgainst(bytes), "");
  }
  if (row.check) row.check(UpgradePackets(sim.device), display_.infos());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdatePhases,
    ::testing::Values(
        PhaseRow{"LoaderPrepareTimeOutWithTheDeviceThere", nullptr, {{3, Fault::Kind::kNoReply, 0, 1}}, true, {}, "",
                 [](const std::vector<std::vector<uint8_t>>& sent, const Lines&) {
                   ASSERT_GE(sent.size(), 3u);
                   EXPECT_EQ(sent[1][1], 3);
                   EXPECT_EQ(sent[2][1], 1) << "the block goes after the silent PREPARE";
                 }},
        PhaseRow{"LoadTimeOut", [](UpdateImage&, SimDeviceProfile& p) { p.upgrade.answerLoad = false; }, {}, true, {},
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n", nullptr},
        PhaseRow{"LoaderBlockWhoseSumFails", [](UpdateImage& i, SimDeviceProfile&) { i.loaderBlocks = 2; },
                 {{4, Fault::Kind::kWrongSum, 0, 1}}, false,
                 {"Failed to transfer firmware at loader SUM [29, aErrInvalidOption]"},
                 "Error loader transfer [29, aErrInvalidOption].\n",
                 [](const std::vector<std::vector<uint8_t>>& sent, const Lines&) {
                   EXPECT_EQ(CountSub(sent, 3), 1u) << "the second loader block is not sent";
                   EXPECT_EQ(CountSub(sent, 2), 0u) << "no LOAD";
                 }},
        PhaseRow{"FourWrongSumsThenAGoodOne", nullptr, {{4, Fault::Kind::kWrongSum, 0, 4, 1}}, true, {}, "",
                 [](const std::vector<std::vector<uint8_t>>&, const Lines& infos) {
                   for (const char* retry : {"  Retry 1", "  Retry 2", "  Retry 3", "  Retry 4"})
                     EXPECT_EQ(std::count(infos.begin(), infos.end(), retry), 1) << retry;
                   EXPECT_EQ(std::count(infos.begin(), infos.end(), "  Retry 5"), 0);
                 }},
        // A device still there that misses one answer: its block is tried again.
        PhaseRow{"FirmwareSumUnansweredOnce", nullptr, {{4, Fault::Kind::kNoReply, 0, 1, 1}}, true, {},
                 "Error firmware transfer [18, aErrTimeout].\n",
                 [](const std::vector<std::vector<uint8_t>>&, const Lines& infos) {
                   EXPECT_EQ(std::count(infos.begin(), infos.end(), "  Retry 1"), 1);
                   EXPECT_EQ(std::count(infos.begin(), infos.end(), "  Retry 2"), 0);
                 }},
        PhaseRow{"FiveWrongSums", nullptr, {{4, Fault::Kind::kWrongSum, 0, 5, 1}}, false,
                 {"Failed to transfer firmware at SUM [29, aErrInvalidOption]"},
                 "Error firmware transfer block failed.\n",
                 [](const std::vector<std::vector<uint8_t>>& sent, const Lines&) {
                   EXPECT_EQ(CountSub(sent, 3), 6u) << "the loader's PREPARE and five of block 1";
                   EXPECT_EQ(CountSub(sent, 6), 0u) << "no REBOOT";
                 }},
        PhaseRow{"RefusedFirmwarePrepare", nullptr, {{3, Fault::Kind::kStatus, 3, 1, 1}}, false,
                 {"Failed to transfer firmware at PREPARE [29, aErrInvalidOption]"},
                 "Error firmware transfer init: [29, aErrInvalidOption].\n",
                 [](const std::vector<std::vector<uint8_t>>& sent, const Lines& infos) {
                   EXPECT_EQ(CountSub(sent, 3), 2u) << "no second attempt";
                   EXPECT_EQ(std::count(infos.begin(), infos.end(), "  Retry 1"), 0);
                 }}),
    [](const ::testing::TestParamInfo<PhaseRow>& info) { return std::string(info.param.name); });

// The device leaves the bus when its loader starts and comes back at a new device number at the
// fifth one-second pause: the sixth search finds it, after the second refresh of the context.
TEST_F(UpdateWorkflow, FindsTheLoaderAgainOnTheBus) {
  ByteVec bytes = BirdBuilder::Update(SmallImage()).Bytes();
  StoreImage(1300, bytes);
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  SimDeviceProfile profile = DeviceProfile();
  profile.upgrade.answerLoad = false;
  UsbSimDevice& sim = Plug(profile, UsbReturn::kNewNumber);
  Phase load;
  load.link = Phase::LinkEnd::kDrop;
  load.back = Phase::Return::kOnTrigger;
  sim.device.SetOnLoad(load);
  SleepRecorder sleeps(false, ReturnAtPause(sim.device, 1000, 5));
  LogCapture log(kTopics);

  EXPECT_TRUE(Update(0)) << log.text();
  EXPECT_EQ(log.count(kRefresh), 2u) << log.text();
  std::vector<uint32_t> pauses = sleeps.pauses();
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 1000u), 5);
  EXPECT_EQ(FlashAgainst(bytes), "");
}

TEST_F(UpdateWorkflow, EndsWhenTheLoaderNeverComesBack) {
  StoreImage(1300, BirdBuilder::Update(SmallImage()).Bytes());
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  SimDeviceProfile profile = DeviceProfile();
  profile.upgrade.answerLoad = false;
  UsbSimDevice& sim = Plug(profile);
  Phase load;
  load.link = Phase::LinkEnd::kDrop;
  sim.device.SetOnLoad(load);
  SleepRecorder sleeps;
  LogCapture log(kTopics);

  EXPECT_FALSE(Update(0));
  EXPECT_EQ(display_.errors(), Lines{"Failed to transfer firmware at loader search [3, aErrNotFound]"});
  EXPECT_EQ(log.count(kRefresh), 5u) << "before tries 3, 6, 9, 12 and 15";
  std::vector<uint32_t> pauses = sleeps.pauses();
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 1000u), 14) << "none after the last try";
  EXPECT_NE(log.text().find("Failed _transfer_firmware(): 3\n"), std::string::npos);
  EXPECT_EQ(CountSub(UpgradePackets(sim.device), 3), 1u) << "no firmware PREPARE";
}

struct ValidationRow {
  const char* name;
  uint32_t descriptorSerial;
  uint32_t reportedSerial;  // what the device's system entity says
  bool done;
  Lines errors;
  std::string logged;
};

void PrintTo(const ValidationRow& row, std::ostream* out) { *out << row.name; }

class UpdateValidation : public UpdateWorkflow, public ::testing::WithParamInterface<ValidationRow> {};

TEST_P(UpdateValidation, ChecksTheImageAgainstTheDevice) {
  const ValidationRow& row = GetParam();
  UpdateImage image = SmallImage();
  image.serial = row.descriptorSerial;
  ByteVec bytes = BirdBuilder::Update(image).Bytes();
  StoreImage(1300, bytes);
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  UsbSimDevice& sim = Plug(DeviceProfile());
  SimDeviceProfile reported = DeviceProfile();
  reported.serial = row.reportedSerial;
  ApplyProfile(sim.network(), kAddress, reported);
  SleepRecorder sleeps;
  LogCapture log(kTopics);

  EXPECT_EQ(Update(0), row.done);
  EXPECT_EQ(display_.errors(), row.errors);
  if (!row.logged.empty()) {
    EXPECT_NE(log.text().find(row.logged), std::string::npos) << log.text();
  }
  if (row.done) {
    EXPECT_EQ(FlashAgainst(bytes), "");
  }
  if (!row.done) {
    EXPECT_TRUE(UpgradePackets(sim.device).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdateValidation,
    ::testing::Values(ValidationRow{"DeviceReportsAnotherSerialNumber", kSerial, 0x11111111, false,
                                    {"Birdfile failed validation"},
                                    "Bird serial number and connected device don't match (0).\n"},
                      ValidationRow{"PatchableImageNamedForAnotherDevice", 0x11111111, kSerial, true, {}, ""}),
    [](const ::testing::TestParamInfo<ValidationRow>& info) { return std::string(info.param.name); });

// An image without blocks fits nothing, and says nothing of its own.
TEST(UpdateValidationAlone, AnImageWithoutBlocksFitsNothing) {
  Tavrin::Corvantis::Module unconnected(0, 0);
  BirdFile empty;
  RecordingDisplay display;
  EXPECT_FALSE(_validate_birdfile(display, empty, unconnected, kSerial));
  EXPECT_TRUE(display.events.empty());
}
