// updater -U over USB: the real program brings simulated devices of this process's emulated bus
// to a build, from the store, after a download, through a routing module, and fails cleanly on
// images and devices that do not fit, leaving store and working folder as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FakeUpdateServer.h"
#include "FileText.h"
#include "FlashCompare.h"
#include "Netns.h"
#include "RunUpdater.h"
#include "SimTransports.h"
#include "TempDir.h"
#include "UpdateOutput.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using Phase = SimLinkDevice::PhaseChange;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;
// Updater, Network, Network_FIRM and APP topics.
const char* const kTopics = "0x10501";

bool HasLine(const std::string& text, const std::string& line) {
  Lines lines = SplitLines(text);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The lines of a whole update of build 1300 from the store, after the version line.
Lines UpdateLines() {
  Lines lines = {"Updating firmware with build: 1300"};
  for (const std::string& line : UpdateTransferLines()) lines.push_back(line);
  return lines;
}

const char* const kOldStamp = "Mon Jan  1 00:00:00 2024";

SimDeviceProfile DeviceProfile(uint32_t serial = kSerial) {
  SimDeviceProfile p;
  p.serial = serial;
  p.model = 13;
  p.ueiDataAnswer = 1;  // takes data packets only
  return p;
}

// Small images for the runs that are about something else than the size.
UpdateImage SmallImage() {
  UpdateImage image;
  image.loaderBytes = 512;
  image.firmwareBytes = 4096;
  return image;
}

class UpdateUsb : public UsbEmulationTest {
 protected:
  std::string S() const { return t_ / "s"; }
  std::string W() const { return t_ / "w"; }
  std::string Folder(uint32_t serial = kSerial) const {
    char name[16];
    snprintf(name, sizeof name, "%08X", serial);
    return S() + "/updater/" + name;
  }
  void SetUp() override {
    UsbEmulationTest::SetUp();
    ASSERT_TRUE(MakeFolders(W()));
    ASSERT_TRUE(MakeFolders(S() + "/updater"));
  }
  // The device's folder with 1300.bird and a settings file.
  void StoreImage(const Bytes& image) {
    ASSERT_TRUE(MakeFolders(Folder()));
    WriteText(Folder() + "/1300.bird", std::string(image.begin(), image.end()));
    WriteText(Folder() + "/.settings", std::string("CREATED_TIME=") + kOldStamp + "\nNOTE=kept\nUPDATED_TIME=" +
                                           kOldStamp + "\n");
  }
  std::string WriteFile(const std::string& name, const Bytes& bytes) {
    WriteText(t_ / name, std::string(bytes.begin(), bytes.end()));
    return t_ / name;
  }
  UsbSimDevice& Plug(uint8_t address, const SimDeviceProfile& profile) {
    sims_.push_back(std::make_unique<UsbSimDevice>(usb(), address, profile));
    UsbSimDevice& sim = *sims_.back();
    sim.device.SetTransport(UsbTransport(usb(), &sim.emulated, sim.side, UsbReturn::kSameNumber));
    Phase reboot;
    reboot.link = Phase::LinkEnd::kDrop;
    sim.device.SetOnReboot(reboot);
    return sim;
  }
  RunResult Run(std::vector<std::string> args) {
    RunOptions options;
    AddUsbEmulationEnv(options);
    options.cwd = W();
    options.timeoutMs = 50000;
    std::vector<std::string> all = {"-i", S(), "-u", server_.url(), "-X", kTopics};
    all.insert(all.end(), args.begin(), args.end());
    return RunUpdater(all, options);
  }

  TempDir t_;
  FakeUpdateServer server_;
  std::vector<std::unique_ptr<UsbSimDevice>> sims_;
};

}  // namespace

TEST_F(UpdateUsb, BringsADeviceToTheServersNewestStoredBuild) {
  const Bytes image = BirdBuilder::Update().Bytes();
  StoreImage(image);
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  SimDeviceProfile profile = DeviceProfile();
  profile.upgrade.answerLoad = false;
  UsbSimDevice& sim = Plug(kAddress, profile);
  Phase load;
  load.link = Phase::LinkEnd::kDrop;
  load.back = Phase::Return::kAfterMs;
  load.ms = 300;
  load.greet = true;
  sim.device.SetOnLoad(load);

  RunResult run = Run({"-U", "-d", "40F5849A"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(OutputAfterVersion(run.out, true), UpdateLines());
  EXPECT_EQ(FlashDifference(DeviceMemory::Of(sim.network(), kAddress), image, kSerial), "");
  ASSERT_FALSE(ReceivedSince(sim.device).empty());
  EXPECT_EQ(ReceivedSince(sim.device).back(), (Bytes{kAddress, 2, 95, 6})) << "REBOOT is the last packet";

  std::string settings = ReadText(Folder() + "/.settings");
  EXPECT_EQ(SettingsValue(settings, "LATEST_TRANSFER"), "1300.bird") << settings;
  EXPECT_TRUE(IsTimeStamp(SettingsValue(settings, "LAST_TRANSFER_DATE"))) << settings;
  EXPECT_EQ(SettingsValue(settings, "CREATED_TIME"), kOldStamp);
  EXPECT_EQ(SettingsValue(settings, "NOTE"), "kept");
  EXPECT_NE(SettingsValue(settings, "UPDATED_TIME"), kOldStamp) << "renewed";
  EXPECT_TRUE(IsTimeStamp(SettingsValue(settings, "UPDATED_TIME"))) << settings;
  EXPECT_TRUE(FolderNames(W()).empty());
}

TEST_F(UpdateUsb, DownloadsThenUpdates) {
  const Bytes image = BirdBuilder::Update().Bytes();
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  server_.Set("builds", FakeReply().Body("ok\n1300;2.12.5\n"));
  server_.SetImage(image);
  SimDeviceProfile profile = DeviceProfile();
  profile.ueiDataAnswer = 0;  // UEI data, pooled (features bit 31)
  profile.upgrade.answerLoad = false;
  UsbSimDevice& sim = Plug(kAddress, profile);
  Phase load;
  load.link = Phase::LinkEnd::kDrop;
  load.back = Phase::Return::kAfterMs;
  load.ms = 300;
  load.placeholder = true;
  load.becomes = profile;
  load.becomes->serial = 0xDEADDEAD;
  sim.device.SetOnLoad(load);

  RunResult run = Run({"-G", "-U", "-d", "40F5849A"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  Lines expected = {"Retrieving firmware for device with serial number 40F5849A",
                    "No build specified",
                    "Using Latest build",
                    "Retrieving build 1300",
                    "Validating build 1300 with server",
                    "Build 1300 is valid"};
  for (const std::string& line : UpdateLines()) expected.push_back(line);
  EXPECT_EQ(OutputAfterVersion(run.out, true), expected);
  EXPECT_EQ(FlashDifference(DeviceMemory::Of(sim.network(), kAddress), image, kSerial), "");
  bool sequences = false;
  for (const Bytes& p : UpgradePackets(sim.device)) sequences |= p.size() > 2 && p[1] == 0x8A;
  EXPECT_TRUE(sequences) << "the firmware went as UEI data";
  std::string settings = ReadText(Folder() + "/.settings");
  EXPECT_EQ(SettingsValue(settings, "LATEST_DOWNLOAD"), "1300.bird") << settings;
  EXPECT_EQ(SettingsValue(settings, "LATEST_TRANSFER"), "1300.bird") << settings;
  EXPECT_TRUE(FolderNames(W()).empty());
}

TEST_F(UpdateUsb, UpdatesAModuleBehindARoutingModule) {
  constexpr uint32_t kRouter = 0xD272031D;
  constexpr uint32_t kSub = 0x0000A008;
  UsbSimDevice& router = Plug(4, DeviceProfile(kRouter));
  router.network().SetRouting({});
  SimDeviceProfile sub = DeviceProfile(kSub);
  sub.router = 4;
  ApplyProfile(router.network(), 0x08, sub);
  UpdateImage preset = SmallImage();
  preset.serial = kSub;
  const Bytes image = BirdBuilder::Update(preset).Bytes();
  std::string file = WriteFile("fw.bird", image);

  RunResult run = Run({"-U", "-d", "0000A008", "-r", "D272031D", "-f", file});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(FlashDifference(DeviceMemory::Of(router.network(), 0x08), image, kSub), "");
  // The routing module's link stays up through REBOOT: the wait is one pass.
  EXPECT_EQ(router.device.Drops(), 0u);
  EXPECT_NE(run.err.find("Waiting for link to drop.\n"), std::string::npos);

  ASSERT_TRUE(router.device.WaitForRoutes(4, 5000));
  std::vector<Bytes> wires = ReceivedSince(router.device);
  const Bytes routeOn = {4, 4, 3, 0x94, 0x20, 1};
  const Bytes routeOff = {4, 4, 3, 0x94, 0x20, 0};
  auto on = std::find(wires.begin(), wires.end(), routeOn);
  auto off = std::find(wires.begin(), wires.end(), routeOff);
  auto probe = std::find_if(wires.begin(), wires.end(), [](const Bytes& w) { return w.size() > 2 && w[2] == 8; });
  auto upgrade = std::find_if(wires.begin(), wires.end(),
                              [](const Bytes& w) { return w.size() > 2 && w[0] == 0x08 && w[2] == 95; });
  ASSERT_NE(on, wires.end());
  ASSERT_NE(off, wires.end());
  ASSERT_NE(upgrade, wires.end());
  EXPECT_LT(on, probe);
  EXPECT_LT(probe, off);
  EXPECT_LT(off, upgrade);
  EXPECT_EQ(std::count(wires.begin(), wires.end(), routeOn), 1) << "no routeToMe(1) after the scan";
  EXPECT_EQ(router.network().RouteToMeValues(), (std::vector<uint8_t>{1, 0}));
  // Two links, each opened with AF 01 01 and released with AF 01 00: the scan's and the update's.
  EXPECT_EQ(router.device.RoutePackets(),
            (std::vector<Bytes>{{0xAF, 1, 1}, {0xAF, 1, 0}, {0xAF, 1, 1}, {0xAF, 1, 0}}));
  EXPECT_EQ(wires.back(), (Bytes{0xAF, 1, 0}));
}

// Runs that fail before anything is written: exit 1, the error on standard error, the store and
// the working folder as they were.
struct FailureRow {
  const char* name;
  UpdateImage image;       // stored as 1300.bird, and written as fw.bird
  std::vector<std::string> args;  // after -U -d 40F5849A; "FW" stands for fw.bird's path
  Lines errors;            // in this order on standard error
  std::string logged;      // logged on standard error
  enum class Device { kNoPacket95, kNoConnection } device;
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

UpdateImage With(std::function<void(UpdateImage&)> change) {
  UpdateImage image = SmallImage();
  change(image);
  return image;
}

class UpdateUsbFailures : public UpdateUsb, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(UpdateUsbFailures, LeaveEverythingAsItWas) {
  const FailureRow& row = GetParam();
  const Bytes image = BirdBuilder::Update(row.image).Bytes();
  StoreImage(image);
  std::string file = WriteFile("fw.bird", image);
  server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  UsbSimDevice& sim = Plug(kAddress, DeviceProfile());
  std::vector<std::string> args = {"-U", "-d", "40F5849A"};
  for (const std::string& arg : row.args) args.push_back(arg == "FW" ? file : arg == "CUT" ? t_ / "cut.bird" : arg);
  WriteText(t_ / "cut.bird", [] {
    UpdateImage cut = SmallImage();
    cut.cutBody = true;
    Bytes bytes = BirdBuilder::Update(cut).Bytes();
    return std::string(bytes.begin(), bytes.end());
  }());
  TreeSnapshot store = SnapshotTree(S());
  TreeSnapshot work = SnapshotTree(W());

  RunResult run = Run(args);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  Lines err = SplitLines(run.err);
  auto from = err.begin();
  for (const std::string& line : row.errors) {
    from = std::find(from, err.end(), line);
    EXPECT_NE(from, err.end()) << line << "\n" << run.err;
  }
  EXPECT_NE(run.err.find(row.logged), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Update time"), std::string::npos);
  EXPECT_EQ(TreeDifference(store, SnapshotTree(S())), "");
  EXPECT_EQ(TreeDifference(work, SnapshotTree(W())), "");
  if (row.device == FailureRow::Device::kNoConnection) {
    EXPECT_EQ(sim.emulated->opens(), 0);
  } else {
    EXPECT_TRUE(UpgradePackets(sim.device).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdateUsbFailures,
    ::testing::Values(
        FailureRow{"ImageForAnotherDevice",
                   With([](UpdateImage& i) {
                     i.serialBlock = false;
                     i.serial = 0x11111111;
                   }),
                   {}, {"Birdfile failed validation"}, "", FailureRow::Device::kNoPacket95},
        FailureRow{"ImageForAnotherModel", With([](UpdateImage& i) { i.model = "SwitchPro"; }), {},
                   {"Connected device model and Bird file model do not match [SwitchMini] (0)",
                    "Birdfile failed validation"},
                   "", FailureRow::Device::kNoPacket95},
        FailureRow{"CutImageBody", SmallImage(), {"-f", "CUT"}, {"Failed to load bird file"}, "",
                   FailureRow::Device::kNoConnection},
        FailureRow{"MissingImageFile", SmallImage(), {"-f", "/nonexistent/fw.bird"}, {"Failed to load bird file"}, "",
                   FailureRow::Device::kNoConnection},
        FailureRow{"ImageWithoutFirmwareOverridden", With([](UpdateImage& i) {
                     i.firmwareBlocks = 0;
                     i.serialBlock = false;
                   }),
                   {"-OVERRIDE"}, {"Birdfile failed validation"}, "", FailureRow::Device::kNoConnection},
        FailureRow{"SerialBlockOutsideTheImage", With([](UpdateImage& i) { i.serialOutside = true; }), {},
                   {"Unable to modify serial number in bird"}, "Error: Unable to modify serial number in bird.",
                   FailureRow::Device::kNoConnection}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

// The rows of the image checks again, with the checks skipped: the image is sent.
TEST_F(UpdateUsb, OverrideSendsWhatTheChecksRefuse) {
  for (auto change : {std::function<void(UpdateImage&)>([](UpdateImage& i) {
                        i.serialBlock = false;
                        i.serial = 0x11111111;
                      }),
                      std::function<void(UpdateImage&)>([](UpdateImage& i) { i.model = "SwitchPro"; })}) {
    const Bytes image = BirdBuilder::Update(With(change)).Bytes();
    StoreImage(image);
    server_.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
    UsbSimDevice& sim = Plug(kAddress, DeviceProfile());
    RunResult run = Run({"-U", "-d", "40F5849A", "-OVERRIDE"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err.find("Birdfile failed validation"), std::string::npos);
    EXPECT_EQ(FlashDifference(DeviceMemory::Of(sim.network(), kAddress), image, kSerial), "");
    usb().remove(*sim.emulated);
  }
}

TEST_F(UpdateUsb, SaysWhenTheDeviceIsNowhere) {
  // Not on the bus, so looked for over TCP/IP too.
  RequirePrivateNetns();
  StoreImage(BirdBuilder::Update(SmallImage()).Bytes());
  std::string file = WriteFile("fw.bird", BirdBuilder::Update(SmallImage()).Bytes());
  UsbSimDevice& sim = Plug(kAddress, DeviceProfile());
  TreeSnapshot store = SnapshotTree(S());
  RunResult run = Run({"-U", "-d", "0ABCDEF0", "-f", file});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(HasLine(run.err, "Failed to connect to module [0ABCDEF0]")) << run.err;
  EXPECT_NE(run.err.find("Failed _transfer_firmware(): 3\n"), std::string::npos) << run.err;
  // Discovery reads the other device's serial number, and leaves it alone.
  EXPECT_EQ(sim.device.PacketCount(), 0u);
  EXPECT_EQ(TreeDifference(store, SnapshotTree(S())), "");
  EXPECT_TRUE(FolderNames(W()).empty());
}
