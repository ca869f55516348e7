// updater -U over TCP/IP: the real program finds corvantis-devsim's device by the probe (lo
// carries 127.0.0.2 and 127.0.0.3 as well, so the device is reported twice and the first report
// is taken), follows it across the loader's start and writes the image from a file into it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "Child.h"
#include "FakeUpdateServer.h"
#include "FileText.h"
#include "FlashCompare.h"
#include "Netns.h"
#include "RunUpdater.h"
#include "TempDir.h"
#include "UpdateOutput.h"
#include "unix_time.h"

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

namespace {

const char* kDevsim = CORVANTIS_BINARY_DIR "/bin/corvantis-devsim";
constexpr uint32_t kSerial = 0x2181F0EE;
const char* const kNoDrop = "NETWORK: Link did not drop after reboot";

struct Outcome {
  RunResult run;
  uint64_t ms;  // the run's
  DeviceMemory memory;
};

// One update of the device from fw.bird, the device ending its link at REBOOT as `onReboot`
// says (drop: a reset, and it stops listening; close: a clean end).
Outcome UpdateFromFile(const TempDir& t, const FakeUpdateServer& server, const Bytes& image,
                       const std::string& onReboot) {
  std::string dump = t / ("dump-" + onReboot);
  MakeFolders(dump);
  Child devsim(kDevsim, {"--tcp", "0", "--address", "8", "--system", "8", "--serial", "8:0x2181F0EE", "--model",
                         "8:13", "--load-reply", "8:0", "--on-load", "drop,back=300,greet", "--on-reboot", onReboot,
                         "--probe", "0x2181F0EE:13", "--dump", dump});
  unsigned port = 0;
  std::string line = devsim.Line(5000);
  EXPECT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
  WriteText(t / "fw.bird", std::string(image.begin(), image.end()));
  RunOptions options;
  options.cwd = t / "w";
  options.timeoutMs = 60000;
  Outcome outcome;
  uint64_t start = aTime_GetMonotonicMS();
  outcome.run = RunUpdater({"-i", t / "s", "-u", server.url(), "-X", "0x10501", "-U", "-d", "2181F0EE", "-f",
                            t / "fw.bird"},
                           options);
  outcome.ms = aTime_GetMonotonicMS() - start;
  EXPECT_EQ(devsim.Stop(5000), 0);
  outcome.memory = DeviceMemory::FromDump(dump, "tcp1-08");
  return outcome;
}

}  // namespace

TEST(UpdateTcpip, WritesAFileIntoADeviceFoundByTheProbe) {
  RequirePrivateNetns();
  TempDir t;
  ASSERT_TRUE(MakeFolders(t / "w"));
  FakeUpdateServer server;
  const Bytes image = BirdBuilder::Update().Bytes();

  Outcome drop = UpdateFromFile(t, server, image, "drop");
  EXPECT_EQ(drop.run.exitStatus, 0) << drop.run.err;
  Lines expected = {"Updating from Birdfile: " + t / "fw.bird"};
  for (const std::string& line : UpdateTransferLines()) expected.push_back(line);
  EXPECT_EQ(OutputAfterVersion(drop.run.out, true), expected);
  EXPECT_EQ(FlashDifference(drop.memory, image, kSerial), "");
  // A fresh store gets the device's folder, and the transfer is recorded there as typed.
  std::string settings = ReadText(t / "s/updater/2181F0EE/.settings");
  EXPECT_EQ(SettingsValue(settings, "LATEST_TRANSFER"), t / "fw.bird") << settings;
  EXPECT_TRUE(IsTimeStamp(SettingsValue(settings, "LAST_TRANSFER_DATE"))) << settings;
  EXPECT_TRUE(FolderNames(t / "w").empty());
  // The reset at REBOOT ends the wait.
  EXPECT_EQ(drop.run.err.find(kNoDrop), std::string::npos);

  // A clean close leaves the link running: the wait runs to its bound, and the update stands.
  Outcome close = UpdateFromFile(t, server, image, "close");
  EXPECT_EQ(close.run.exitStatus, 0) << close.run.err;
  EXPECT_NE(close.run.err.find(kNoDrop), std::string::npos) << close.run.err;
  EXPECT_GE(close.ms, drop.ms + 8000) << "about 10 s of waiting";
  EXPECT_EQ(FlashDifference(close.memory, image, kSerial), "");
  EXPECT_TRUE(FolderNames(t / "w").empty());
}

// 16 KiB of code and erased flash up to 1 MiB: a body of far more than 8 times the file.
TEST(UpdateTcpip, AWholeFlashImageIsWrittenWhole) {
  RequirePrivateNetns();
  TempDir t;
  ASSERT_TRUE(MakeFolders(t / "w"));
  FakeUpdateServer server;
  UpdateImage whole;
  whole.firmwareBlocks = 1;
  whole.firmwareBytes = 1 << 20;
  whole.codeBytes = 16 << 10;
  const Bytes image = BirdBuilder::Update(whole).Bytes();
  ASSERT_GT(BirdBuilder::Update(whole).InflatedBody().size(), 8 * image.size());

  Outcome drop = UpdateFromFile(t, server, image, "drop");
  EXPECT_EQ(drop.run.exitStatus, 0) << drop.run.err;
  EXPECT_EQ(FlashDifference(drop.memory, image, kSerial), "");
}
