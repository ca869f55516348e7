#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "FileText.h"
#include "BirdBuilder.h"
#include "FakeUpdateServer.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "LogCapture.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

using Targets = std::vector<std::string>;

const char* const kHi = "/cgi/u?op=hi&rv=2&";
const char* const kQu = "/cgi/u?op=qu&sn=40F5849A&";

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class BuildDownload : public ::testing::Test {
 protected:
  // As main leaves it: the store directory exists.
  void SetUp() override { ASSERT_EQ(aDirectory_Ensure(store.c_str(), 0755), aErrNone); }
  std::string Device() const { return dir / "updater/40F5849A"; }
  std::string Stored(const std::string& name) const { return Device() + "/" + name; }
  void MakeDevice() { ASSERT_EQ(aDirectory_Ensure(Device().c_str(), 0755), aErrNone); }

  TempDir dir;
  FakeUpdateServer server;
  RecordingDisplay display;
  std::string store = dir / "updater";
  Updater updater{server.url().c_str(), store.c_str(), display};
};

}  // namespace

TEST_F(BuildDownload, NewestOrNamedBuildIsStoredWithItsSettings) {
  struct Row {
    const char* build;
    uint32_t stored;
  };
  for (const Row& row : {Row{"", 1234}, Row{"0", 1234}, Row{"1200", 1200}}) {
    SCOPED_TRACE(row.build);
    ASSERT_EQ(updater.Download_Firmware(0x40F5849A, row.build, false, false), row.stored);
    std::string name = std::to_string(row.stored) + ".bird";
    EXPECT_EQ(ReadText(Stored(name)), Text(MakeFakeImage()));
    // The newest build's version goes with any build.
    EXPECT_EQ(server.targets().back(),
              "/cgi/u?bld=" + std::to_string(row.stored) + "&fw=2.12.5&no_cal=false&op=bird&sn=40F5849A&");
    KeyValueStore settings((Stored(".settings")).c_str());
    EXPECT_STREQ(settings["LATEST_DOWNLOAD"], name.c_str());
    ASSERT_NE(settings["LAST_DOWNLOAD_DATE"], nullptr);
    EXPECT_EQ(strlen(settings["LAST_DOWNLOAD_DATE"]), 24u);
  }
}

TEST_F(BuildDownload, RejectedArgumentsSendNothing) {
  struct Row {
    uint32_t serial;
    const char* build;
    const char* error;
  };
  const Row rows[] = {
      {0x40F5849A, "12x", "Build number '12x' must be an number"},
      {0x40F5849A, "4294967296", "Build number '4294967296' must be an number"},
      {0x40F5849A, "-1", "Build number '-1' must be an number"},
      {0x40F5849A, " 12", "Build number ' 12' must be an number"},
      {0, "", "Serial Number must be non-zero"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.build);
    display.events.clear();
    EXPECT_EQ(updater.Download_Firmware(row.serial, row.build, false, false), 0u);
    EXPECT_EQ(display.errors(), std::vector<std::string>{row.error});
  }
  EXPECT_TRUE(server.targets().empty());
  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "4294967295", true, false), 4294967295u);
}

TEST_F(BuildDownload, NewestBuildMustReadAsANumber) {
  struct Row {
    const char* qu;
    uint32_t result;
  };
  const Row rows[] = {
      {"ok\n1234\r\n2.12.5\r\n", 1234},  // leading digits count
      {"ok\nabc\n2.12.5\n", 0},
      {"ok\n0\n2.12.5\n", 0},
      {"ok\n4294967296\n2.12.5\n", 0},
      {"ok\n", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.qu);
    TempDir fresh;
    FakeUpdateServer own;
    own.Set("qu", FakeReply().Body(row.qu));
    RecordingDisplay shown;
    Updater u(own.url().c_str(), (fresh / "updater").c_str(), shown);
    LogCapture log(DEBUG_Updater);
    EXPECT_EQ(u.Download_Firmware(0x40F5849A, "", false, false), row.result);
    if (row.result != 0) continue;
    EXPECT_EQ(shown.errors(), std::vector<std::string>{"No build information for device"});
    EXPECT_EQ(own.targets(), (Targets{kHi, kQu}));
    EXPECT_NE(log.text().find("Error: Could not convert "), std::string::npos);
    EXPECT_FALSE(aDirectory_Exists((fresh / "updater/40F5849A/0.bird").c_str()));
  }
}

TEST_F(BuildDownload, StoreProblems) {
  // A plain file where the device directory belongs.
  ASSERT_TRUE(WriteBytes(Device(), {'x'}));
  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Could not create directory for storing BIRD file"});
  EXPECT_EQ(server.count("qu"), 0u);
  ASSERT_EQ(remove(Device().c_str()), 0);

  // A directory where the image belongs: nothing changes.
  MakeDevice();
  ASSERT_EQ(mkdir(Stored("1234.bird").c_str(), 0755), 0);
  ASSERT_TRUE(WriteBytes(Stored("1234.bird/keep"), {'k'}));
  ASSERT_TRUE(WriteBytes(Stored(".settings"), {'A', '=', '1', '\n'}));
  display.events.clear();
  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u);
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0].rfind("Failed to write file with ", 0), 0u) << display.errors()[0];
  EXPECT_EQ(ReadText(Stored(".settings")), "A=1\n");
  EXPECT_EQ(ReadText(Stored("1234.bird/keep")), "k");
}

TEST_F(BuildDownload, ByFingerprint) {
  server.SetRecovery(0x40F5849A, 1233);
  Fingerprint chip = {{0xA, 0xB, 0xC, 0xD}};
  LogCapture log(DEBUG_Updater);
  EXPECT_EQ(updater.Download_Firmware(chip, "", false), 1233u);
  EXPECT_NE(log.text().find("Error: Could not convert  to int.\n"), std::string::npos);
  EXPECT_EQ(updater.Download_Firmware(chip, "1200", false), 1200u);
  std::vector<std::string> targets = server.targets();
  ASSERT_EQ(targets.size(), 10u);
  EXPECT_EQ(targets[0], "/cgi/u?brief=true&fp=0000000A%200000000B%200000000C%200000000D&op=fix&");
  EXPECT_EQ(targets[4], "/cgi/u?bld=1233&fw=2.12.5&no_cal=false&op=bird&sn=40F5849A&");
  EXPECT_EQ(targets[9], "/cgi/u?bld=1200&fw=2.12.5&no_cal=false&op=bird&sn=40F5849A&");
  EXPECT_EQ(ReadText(Stored("1233.bird")), Text(MakeFakeImage()));

  server.Set("fix", FakeReply().Status(404));
  display.events.clear();
  EXPECT_EQ(updater.Download_Firmware(chip, "", false), 0u);
  EXPECT_EQ(display.errors(),
            std::vector<std::string>{"Failed to retrieve recovery information from Tavrin update server"});
  EXPECT_EQ(server.targets().size(), 11u);
}

TEST_F(BuildDownload, LoadBird) {
  MakeDevice();
  ASSERT_TRUE(WriteBytes(Stored("1233.bird"), MakeFakeImage(1233, "2.10.1")));
  ASSERT_TRUE(WriteBytes(Stored("1236.bird"), BirdBuilder().Descriptor(1236, "2.12.7", 0x40F5849A, "X")
                                                  .TruncateCompressed(12)
                                                  .Bytes()));
  ASSERT_TRUE(WriteBytes(dir / "given.bird", MakeFakeImage(77, "1.2.3")));

  EXPECT_EQ(updater.load_bird("Updating", dir / "given.bird", 0x40F5849A, 0, false).GetBuild(), 77u);
  EXPECT_EQ(updater.load_bird("Updating", "", 0x40F5849A, 1233, false).GetBuild(), 1233u);
  EXPECT_EQ(display.infos(), (std::vector<std::string>{"Updating from Birdfile: " + dir / "given.bird",
                                                       "Updating firmware with build: 1233"}));
  EXPECT_TRUE(server.targets().empty());

  for (uint32_t build : {1234u, 1236u}) {
    SCOPED_TRACE(build);
    try {
      updater.load_bird("Updating", "", 0x40F5849A, build, false);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Error reading birdfile");
    }
  }
  EXPECT_TRUE(server.targets().empty());

  display.events.clear();
  EXPECT_EQ(updater.load_bird("Recovering", "", 0x40F5849A, 1234, true).GetBuild(), 1234u);
  EXPECT_TRUE(display.hasLine("Recovering firmware with build: 1234"));
  EXPECT_TRUE(display.hasLine("Downloading firmware build 1234"));
  EXPECT_EQ(server.count("bird"), 1u);

  // A download that stores nothing leaves the reader's own exception.
  server.Set("bird", FakeReply().Status(404));
  EXPECT_THROW(updater.load_bird("Recovering", "", 0x40F5849A, 1200, true), std::runtime_error);
}

TEST(BuildStore, NoStoreIsAFailureNotAnEmptyAnswer) {
  TempDir dir;
  ASSERT_TRUE(WriteBytes(dir / "plain", {'x'}));
  RecordingDisplay display;
  FakeUpdateServer server;
  std::string store = dir / "plain/updater";
  Updater updater(server.url().c_str(), store.c_str(), display);
  try {
    updater.load_bird("Updating", "", 0x40F5849A, 1234, false);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to Create UpdaterStore");
  }
  bool ok = true;
  EXPECT_TRUE(updater.Get_BuildListLocal(0x40F5849A, &ok).empty());
  EXPECT_FALSE(ok);
  ASSERT_EQ(display.errors().size(), 2u);
  EXPECT_EQ(display.errors()[1].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0), 0u);
}
