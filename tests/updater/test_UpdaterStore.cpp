#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "FileText.h"
#include "BirdBuilder.h"
#include "CreateUpdaterStore.h"
#include "FixedClock.h"
#include "Log.h"
#include "LogCapture.h"
#include "RecordingDisplay.h"
#include "RunInChild.h"
#include "TempDir.h"
#include "UpdaterStore.h"

namespace {

std::string ThrownText(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

BirdBuilder FullImage() {
  BirdBuilder b;
  b.Loader(0x20000000, RandomBytes(100, 1), 1)
      .Loader(0x20001000, RandomBytes(60, 2), 0)
      .Firmware(0x00010000, RandomBytes(500, 3), 4)
      .SerialOffsets(0x00010010, 0x00010100)
      .Descriptor(1234, "2.12.5", 0x40F5849A, "HubCore8")
      .StartAddress(0x20000400);
  return b;
}

const std::string kStamp = FixedClock::kDefaultText;

class UpdaterStoreTest : public FixedClockTest {
 protected:
  TempDir dir_;
  std::string base_ = dir_ / "updater";
};

}  // namespace

TEST_F(UpdaterStoreTest, RoundTrip) {
  UpdaterStore store(base_.c_str());
  EXPECT_TRUE(S_ISDIR([&] {
    struct stat st;
    stat(base_.c_str(), &st);
    return st.st_mode;
  }()));
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  EXPECT_EQ(device.basePath, base_);
  EXPECT_EQ(device.name, "40F5849A");
  EXPECT_EQ(device.type, STORE_ITEM_DIRECTORY);
  std::string settings = base_ + "/40F5849A/.settings";
  const std::string created = "CREATED_TIME=" + kStamp + "\nUPDATED_TIME=" + kStamp + "\n";
  EXPECT_EQ(ReadText(settings), created);
  clock_.set(FixedClock::kDefaultTime + 86400);
  store.AddDevice(0x40F5849A);
  EXPECT_EQ(ReadText(settings), created);

  BirdBuilder image = FullImage();
  ByteVec bytes = image.Bytes();
  EXPECT_EQ(device.WriteFile("1234.bird", bytes.data(), bytes.size()), aErrNone);

  std::vector<UpdaterStoreItem> builds;
  EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, builds));
  ASSERT_EQ(builds.size(), 1u);
  EXPECT_EQ(builds[0].name, "1234.bird");
  EXPECT_EQ(builds[0].basePath, base_ + "/40F5849A");
  EXPECT_EQ(builds[0].type, STORE_ITEM_FILE);
  EXPECT_EQ(FolderNames(base_ + "/40F5849A"), (std::vector<std::string>{".settings", "1234.bird"}));

  BirdFile bird = device.ReadBirdFile("1234.bird");
  auto written = image.Blocks();
  ASSERT_EQ(bird.blocks.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bird.blocks[i].type, written[i].type());
    EXPECT_EQ(bird.blocks[i].flags, written[i].flags());
    EXPECT_EQ(bird.blocks[i].length, written[i].payload.size());
    EXPECT_EQ(bird.blocks[i].address, bird.blocks[i].type <= 1 ? written[i].address() : 0u);
    EXPECT_EQ(ByteVec(bird.blocks[i].data, bird.blocks[i].data + bird.blocks[i].length), written[i].payload);
  }
  EXPECT_EQ(bird.GetBuild(), 1234u);
  EXPECT_EQ(bird.GetVersion(), "2.12.5");
  EXPECT_EQ(bird.GetSerialNumber(), 0x40F5849Au);
  EXPECT_TRUE(bird.ValidateModel("HubCore8"));
}

TEST_F(UpdaterStoreTest, FailedWritesLoseNothing) {
  UpdaterStore store(base_.c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  ByteVec good = FullImage().Bytes();
  ASSERT_EQ(device.WriteFile("1234.bird", good.data(), good.size()), aErrNone);
  device.settings.Add("LATEST_DOWNLOAD", "1234.bird");
  device.settings.Save();
  std::string folder = base_ + "/40F5849A";
  const std::string birdBefore = ReadText(folder + "/1234.bird");
  const std::string settingsBefore = ReadText(folder + "/.settings");
  ASSERT_LT(birdBefore.size(), 4096u);

  int status = RunInChild(
      [&] {
        LogCapture log(DEBUG_Attributes);
        ByteVec larger = BirdBuilder().Firmware(0, RandomBytes(20000, 9)).Bytes();
        int failures = 0;
        if (device.WriteFile("1234.bird", larger.data(), larger.size()) != aErrIO) failures |= 1;
        device.settings.Add("LATEST_TRANSFER", std::string(5000, 't'));
        device.settings.Save();
        if (!device.settings.IsDirty()) failures |= 2;
        std::string line = "Attibutes: Error - cannot open attributes file for writting: '" + folder + "/.settings' (27)\n";
        if (log.text() != line) failures |= 4;
        return failures;
      },
      {.fileSize = 4096});
  EXPECT_EQ(ChildExitCode(status), 0);
  EXPECT_EQ(ReadText(folder + "/1234.bird"), birdBefore);
  EXPECT_EQ(ReadText(folder + "/.settings"), settingsBefore);
  EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{".settings", "1234.bird"}));
}

TEST_F(UpdaterStoreTest, FindsExactlyTheDeviceAskedFor) {
  const std::vector<std::string> folders = {"1234ABCD", "40F5849A.old", "backup-40F5849A", "40F5849A"};
  std::vector<size_t> order = {0, 1, 2, 3};
  int orders = 0;
  do {
    SCOPED_TRACE(folders[order[0]] + " first");
    TempDir dir;
    std::string base = dir / "40F5849A/updater";  // the store's own path holds the serial
    UpdaterStore store(base.c_str());
    for (size_t i : order) ASSERT_EQ(mkdir((base + "/" + folders[i]).c_str(), 0755), 0);

    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.basePath, base);
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.settings.Path(), base + "/40F5849A/.settings");
    ASSERT_TRUE(store.FindDevice(0x1234ABCD, &item));
    EXPECT_EQ(item.name, "1234ABCD");
    EXPECT_FALSE(store.FindDevice("40F5849", nullptr));
    EXPECT_TRUE(store.AddDevice("40F5849A").FileExists(".settings"));
    EXPECT_FALSE(store.AddDevice("40F5849A").FileExists(".setting"));
    ++orders;
  } while (std::next_permutation(order.begin(), order.end()) && orders < 6);
}

TEST_F(UpdaterStoreTest, LookupCases) {
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(base_.c_str());
  ASSERT_EQ(mkdir((base_ + "/40f5849a").c_str(), 0755), 0);
  EXPECT_FALSE(store.FindDevice(0x40F5849A, nullptr));
  EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 40F5849A.\n"), std::string::npos);

  // A plain file of the exact name is found as a file; making it a device folder throws.
  WriteText(base_ + "/40F5849A", "not a folder");
  UpdaterStoreItem item;
  EXPECT_TRUE(store.FindDevice(0x40F5849A, &item));
  EXPECT_EQ(item.type, STORE_ITEM_FILE);
  EXPECT_EQ(ReadText(base_ + "/40F5849A"), "not a folder");
  EXPECT_EQ(ThrownText([&] { store.AddDevice(0x40F5849A); }),
            "UpdaterStore: " + base_ + "/40F5849A exists and is a file");

  std::vector<UpdaterStoreItem> builds(1);
  EXPECT_TRUE(store.FindLocalBuilds(0x11111111, builds));
  EXPECT_EQ(builds.size(), 1u);  // nothing found, nothing cleared

  // A device folder lists files and folders but no hidden entries; listing makes the
  // settings of a folder and writes nothing for a file.
  UpdaterStoreItem device = store.AddDevice(0x22222222);
  std::string folder = base_ + "/22222222";
  WriteText(folder + "/100.bird", "x");
  WriteText(folder + "/.hidden", "x");
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0755), 0);
  builds.clear();
  EXPECT_TRUE(store.FindLocalBuilds(0x22222222, builds));
  std::vector<std::pair<std::string, store_item_t>> got;
  for (const auto& b : builds) got.push_back({b.name, b.type});
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::pair<std::string, store_item_t>>{{"100.bird", STORE_ITEM_FILE},
                                                                      {"sub", STORE_ITEM_DIRECTORY}}));
  EXPECT_EQ(FolderNames(folder + "/sub"), std::vector<std::string>{".settings"});
  EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{".hidden", ".settings", "100.bird", "sub"}));
}

TEST_F(UpdaterStoreTest, FolderProblems) {
  WriteText(dir_ / "f", "");
  EXPECT_EQ(ThrownText([&] { UpdaterStore store((dir_ / "f").c_str()); }),
            "UpdaterStore: " + dir_ / "f" + " exists and is a file");

  RecordingDisplay display;
  EXPECT_EQ(_createUpdaterStore(display, dir_ / "f/x", "Download_Firmware"), nullptr);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to Create UpdaterStore in: Download_Firmware - "
                                                       "Exception: UpdaterStore: Could not create directory " +
                                                       dir_ / "f/x" + " error 12"});
  display.events.clear();
  auto store = _createUpdaterStore(display, base_, "Update_Firmware");
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->BasePath(), base_.c_str());
  EXPECT_TRUE(display.events.empty());
}

TEST_F(UpdaterStoreTest, WriteAndReadFailures) {
  UpdaterStore store(base_.c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  std::string folder = base_ + "/40F5849A";
  const uint8_t byte = 1;
  EXPECT_EQ(device.WriteFile("a.bird", nullptr, 1), aErrNotFound);
  EXPECT_FALSE(device.FileExists("a.bird"));
  UpdaterStoreItem elsewhere(base_.c_str(), "99999999", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(elsewhere.WriteFile("a.bird", &byte, 1), aErrNotFound);
  EXPECT_EQ(UpdaterStoreItem().WriteFile("a.bird", &byte, 1), aErrNotFound);  // never at the root
  ASSERT_EQ(mkdir((folder + "/taken").c_str(), 0755), 0);
  EXPECT_EQ(device.WriteFile("taken", &byte, 1), aErrIO);
  EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{".settings", "taken"}));

  WriteText(folder + "/text.bird", "plain text, not an image");
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("text.bird"); }), "Invalid bird " + folder + "/text.bird");
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("none.bird"); }), "Invalid bird " + folder + "/none.bird");
  ByteVec broken = BirdBuilder().StartAddress(1).TruncateCompressed(4).Bytes();
  ASSERT_EQ(device.WriteFile("broken.bird", broken.data(), broken.size()), aErrNone);
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("broken.bird"); }), "Failed to load bird data");
}
