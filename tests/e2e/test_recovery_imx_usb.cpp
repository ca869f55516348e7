// updater -N and -U -t RECOVER against the simulated i.MX boot ROM (on a pty, or on the emulated
// bus) and the recovery loader its jump brings up on the emulated bus.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "FakeUpdateServer.h"
#include "FileText.h"
#include "FlashCompare.h"
#include "RecoveryRigs.h"
#include "SimNetwork.h"
#include "RunUpdater.h"
#include "TempDir.h"
#include "UpdateOutput.h"
#include "UsbEmulationTest.h"

using Lines = std::vector<std::string>;

namespace {

const char* const kNoServer = "http://127.0.0.1:9/cgi/u";
const char* const kFingerprintLine = "[ 00000004 00000003 00000002 00000001 ]";

std::string LatestDownload(const std::string& store) {
  return SettingsValue(ReadText(store + "/updater/DEADDEAD/.settings"), "LATEST_DOWNLOAD");
}

class RecoveryImx : public UsbEmulationTest {
 protected:
  void TearDown() override {
    if (rig_) rig_->End();
    UsbEmulationTest::TearDown();
  }
  ImxRecoveryRig& Rig(const SimRecoveryLoader::Settings& loader = {}, bool usbFaces = false) {
    rig_ = std::make_unique<ImxRecoveryRig>(usb(), loader, usbFaces);
    return *rig_;
  }
  RunResult Run(std::vector<std::string> args, const std::string& url = kNoServer) {
    RunOptions options;
    AddUsbEmulationEnv(options);
    options.timeoutMs = 90000;
    std::vector<std::string> all = {"-i", store_.path(), "-u", url};
    all.insert(all.end(), args.begin(), args.end());
    return RunUpdater(all, options);
  }
  // The server's newest loader build for DEADDEAD.
  void ServeLoader(FakeUpdateServer& server, const ByteVec& image) {
    server.Set("qu", FakeReply().Body("ok\n500\n1.0.0\n"));
    server.Set("builds", FakeReply().Body("ok\n500;1.0.0\n"));
    server.SetImage(image);
  }
  void ExpectLoaderWritten() {
    EXPECT_EQ(rig_->rom.ram(0x20200000, 3000), RandomBytes(3000, 21));
    EXPECT_EQ(rig_->rom.ram(0x20210000, 1500), RandomBytes(1500, 22));
  }

  TempDir store_;
  std::unique_ptr<ImxRecoveryRig> rig_;
};

}  // namespace

TEST_F(RecoveryImx, FingerprintThroughTheDefaultLoader) {
  ImxRecoveryRig& rig = Rig();
  FakeUpdateServer server;
  ServeLoader(server, RecoveryLoaderImage());

  RunResult run = Run({"-N", "-s", rig.port()}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(OutputAfterVersion(run.out, false), (Lines{kFingerprintLine}));
  EXPECT_EQ(run.err, "");  // the download ran muted
  ExpectLoaderWritten();
  EXPECT_EQ(rig.rom.jumps(), (std::vector<uint32_t>{0x20000400}));
  ASSERT_TRUE(rig.loader->waitUnplugged(5000));
  EXPECT_EQ(rig.loader->resets(), 1u);
  EXPECT_EQ(ReadText(store_ / "updater/DEADDEAD/500.bird").size(), RecoveryLoaderImage().size());
  EXPECT_EQ(LatestDownload(store_.path()), "500.bird");

  // Again without a server: the stored loader serves, and the ROM that the reset brought back
  // takes it again.
  RunResult again = Run({"-N", "-s", rig.port()});
  EXPECT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_EQ(OutputAfterVersion(again.out, false), (Lines{kFingerprintLine}));
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(rig.rom.jumps().size(), 2u);
}

TEST_F(RecoveryImx, AStoreEntryWithoutItsLatestDownloadGetsTheLoaderAgain) {
  ImxRecoveryRig& rig = Rig();
  StoreRecoveryLoader(store_.path(), RecoveryLoaderImage(), 500, false);
  FakeUpdateServer server;
  ServeLoader(server, RecoveryLoaderImage());
  RunResult run = Run({"-N", "-s", rig.port()}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(OutputAfterVersion(run.out, false), (Lines{kFingerprintLine}));
  EXPECT_EQ(server.count("bird"), 1u);
  EXPECT_EQ(LatestDownload(store_.path()), "500.bird");
}

TEST_F(RecoveryImx, FingerprintThroughTheRomsHidFace) {
  ImxRecoveryRig& rig = Rig({}, true);
  StoreRecoveryLoader(store_.path(), RecoveryLoaderImage());
  RunResult run = Run({"-N", "-s", "USB"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(OutputAfterVersion(run.out, false), (Lines{kFingerprintLine}));
  ExpectLoaderWritten();
  EXPECT_EQ(rig.rom.jumps(), (std::vector<uint32_t>{0x20000400}));
  std::vector<std::vector<uint8_t>> reports = rig.rom.reportsFromHost();
  ASSERT_FALSE(reports.empty());
  for (const auto& report : reports) EXPECT_TRUE(report.at(0) == 1 || report.at(0) == 2);
  EXPECT_EQ(rig.rom.serialBytesFromHost(), 0u);
}

TEST_F(RecoveryImx, RecoversFromTheServer) {
  ImxRecoveryRig& rig = Rig();
  StoreRecoveryLoader(store_.path(), RecoveryLoaderImage());
  ByteVec first = RandomBytes(5000, 31), second = RandomBytes(700, 32);
  BirdBuilder firmware;
  firmware.Firmware(0x60000000, first).Firmware(0x60010000, second);
  FakeUpdateServer server;
  server.SetRecovery(0x40F5849A, 1300);
  server.Set("qu", FakeReply().Body("ok\n1300\n2.12.5\n"));
  server.Set("builds", FakeReply().Body("ok\n1300;2.12.5\n"));
  server.SetImage(firmware.Bytes());

  RunResult run = Run({"-U", "-t", "RECOVER", "-s", rig.port()}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const int n1 = 5004, n2 = 704;
  EXPECT_EQ(OutputAfterVersion(run.out, true),
            (Lines{"Recovering firmware with build: 1300", "Downloading firmware build 1300", "Retrieving build 1300",
                   "Validating build 1300 with server", "Build 1300 is valid",
                   "Transferring firmware block 1 of 2, " + std::to_string(n1) + " bytes",
                   "Transferring firmware block 2 of 2, " + std::to_string(n2) + " bytes",
                   "Transferred 2 blocks, " + std::to_string(n1 + n2) + " total bytes"}));

  std::vector<std::string> targets = server.targets();
  ASSERT_FALSE(targets.empty());
  EXPECT_NE(targets[0].find("brief=true&fp=00000004%2000000003%2000000002%2000000001&op=fix&"), std::string::npos)
      << targets[0];
  EXPECT_EQ(FlashDifference(DeviceMemory::Of(rig.loader->network(), rig.loader->settings().address), firmware.Bytes(),
                            0x40F5849A),
            "");
  ASSERT_TRUE(rig.loader->waitUnplugged(5000));
  EXPECT_TRUE(rig.loader->rebooted());
  EXPECT_EQ(rig.loader->resets(), 0u);  // the fingerprint of a recovery leaves the loader running
}

// The file names the device: the loader it holds comes up as DEADDEAD, and nothing is asked of
// a server.
TEST_F(RecoveryImx, RecoversOfflineFromAFileWithLoaderAndFirmware) {
  ImxRecoveryRig& rig = Rig();
  ByteVec first = RandomBytes(2000, 41);
  std::string path = store_ / "both.bird";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(RecoveryLoaderImage({first}).data()),
                                             static_cast<std::streamsize>(RecoveryLoaderImage({first}).size()));
  FakeUpdateServer server;
  RunResult run = Run({"-U", "-t", "RECOVER", "-s", rig.port(), "-d", "40F5849A", "-f", path}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  ExpectLoaderWritten();
  EXPECT_EQ(rig.loader->flash(0x60000000, first.size()), first);
  EXPECT_TRUE(server.targets().empty());
}

TEST_F(RecoveryImx, FailuresSayNoResponse) {
  struct Row {
    const char* name;
    SimRecoveryLoader::Settings loader;
    uint32_t completion;
    Lines errors;
    bool jumped;
  };
  SimRecoveryLoader::Settings refusing;
  refusing.refusedSubindex = 2;
  const Row rows[] = {
      {"write-file not completed", {}, 0x12345678, {"Got no response from chip"}, false},
      {"identifier refused", refusing, SdpRomCore::kComplete, {"Got no response from chip"}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ImxRecoveryRig& rig = Rig(row.loader);
    rig.rom.configure([&](SdpRomCore::Settings& s, SimSdpRom::Faults&) { s.completion = row.completion; });
    StoreRecoveryLoader(store_.path(), RecoveryLoaderImage());
    RunResult run = Run({"-N", "-s", rig.port()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(SplitLines(run.err), row.errors);
    EXPECT_EQ(!rig.rom.jumps().empty(), row.jumped);
    rig_->End();
    rig_.reset();
  }
}

// A file that holds a loader but nothing to program: the loader runs and gives the identifier,
// and then nothing goes through it.
TEST_F(RecoveryImx, NothingToProgramSendsNothingThroughTheLoader) {
  struct Row {
    const char* name;
    ByteVec file;
  };
  const Row rows[] = {
      {"no firmware block", RecoveryLoaderImage()},
      {"only the end block", RecoveryLoaderImage({{0xFF, 0xFF, 0xFF, 0xFF}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ImxRecoveryRig& rig = Rig();
    std::string path = store_ / "loader.bird";
    WriteText(path, std::string(row.file.begin(), row.file.end()));
    RunResult run = Run({"-U", "-t", "RECOVER", "-s", rig.port(), "-d", "40F5849A", "-f", path});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(SplitLines(run.err), (Lines{"Birdfile failed validation"}));
    EXPECT_EQ(OutputAfterVersion(run.out, false), (Lines{"Recovering from Birdfile: " + path}));  // no time line
    ExpectLoaderWritten();
    for (const SimLinkDevice::Received& r : rig.loader->device().Packets())
      EXPECT_FALSE(r.wire.size() > 2 && r.wire[2] == 95) << "an upgrade packet";
    EXPECT_TRUE(rig.loader->network().FlashWrites(rig.loader->settings().address).empty());
    EXPECT_FALSE(rig.loader->rebooted());
    rig_->End();
    rig_.reset();
  }
}

// Only the exact text USB names the ROM's HID face; "usb" is a tty path that does not exist.
TEST_F(RecoveryImx, OnlyUsbInCapitalsIsTheHidFace) {
  ImxRecoveryRig& rig = Rig({}, true);
  StoreRecoveryLoader(store_.path(), RecoveryLoaderImage());
  RunResult run = Run({"-N", "-s", "usb"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(SplitLines(run.err), (Lines{"Got no response from chip"}));
  EXPECT_TRUE(rig.rom.reportsFromHost().empty());
  EXPECT_TRUE(rig.rom.jumps().empty());
}

TEST_F(RecoveryImx, AFileWithoutLoaderBlocksSendsOnlyTheJump) {
  ImxRecoveryRig& rig = Rig();
  ByteVec image = RandomBytes(1000, 51);
  std::string path = store_ / "firmware.bird";
  ASSERT_TRUE(BirdBuilder().Firmware(0x60000000, image).WriteTo(path));
  RunResult run = Run({"-U", "-t", "RECOVER", "-s", rig.port(), "-d", "40F5849A", "-f", path});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::vector<SdpRomCore::Command> commands = rig.rom.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].code, 0x0B);
  EXPECT_EQ(commands[0].address, 0x20000400u);
  EXPECT_EQ(rig.loader->flash(0x60000000, image.size()), image);
}
