// The i.MX fingerprint in process: the search for the started recovery loader on the emulated
// bus, with the workflow's pauses taken by the sleep seam.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "RecordingDisplay.h"
#include "RecoveryRigs.h"
#include "TempDir.h"
#include "UpgradeRigs.h"
#include "Updater.h"
#include "UsbEmulationTest.h"

namespace {

const char* const kNoServer = "http://127.0.0.1:9/cgi/u";
const char* const kRefresh = "Failed enumeration after 3 tries, refreshing libusb context.\n";

class RecoveryLoaderSearch : public UsbEmulationTest {
 protected:
  void TearDown() override {
    if (rig_) rig_->End();
    UsbEmulationTest::TearDown();
  }
  ImxRecoveryRig& Rig(const SimRecoveryLoader::Settings& loader) {
    rig_ = std::make_unique<ImxRecoveryRig>(usb(), loader);
    StoreRecoveryLoader(store_.path(), RecoveryLoaderImage());
    return *rig_;
  }
  bool Fingerprint(::Fingerprint& out) {
    Updater updater(kNoServer, (store_ / "updater").c_str(), display_);
    return updater.Get_Fingerprint(out, rig_->port(), 0xDEADDEAD, "", 115200, true);
  }

  TempDir store_;
  RecordingDisplay display_;
  std::unique_ptr<ImxRecoveryRig> rig_;
};

}  // namespace

// A link made on the first try that never synchronises must not hold up the second.
TEST_F(RecoveryLoaderSearch, ALoaderDeafToTheFirstHandshakeIsFoundOnTheSecondTry) {
  SimRecoveryLoader::Settings loader;
  loader.ignoreFirstHandshake = true;
  loader.plugDelayMs = 0;
  Rig(loader);
  SleepRecorder sleep;
  ::Fingerprint fp = {{0, 0, 0, 0}};
  ASSERT_TRUE(Fingerprint(fp)) << ::testing::PrintToString(display_.lines());
  EXPECT_EQ(sleep.pauses(), (std::vector<uint32_t>{1000}));
  EXPECT_EQ(fp.word[0], 4u);
  EXPECT_EQ(fp.word[3], 1u);
}

// The loader comes at the fourth pause: one refresh of the USB context (before try 3), found on
// try 5, whose enumeration sees it although the context was made before it came.
TEST_F(RecoveryLoaderSearch, ALateLoaderIsFoundOnTheTryAfterItCame) {
  SimRecoveryLoader::Settings loader;
  loader.plug = SimRecoveryLoader::Plug::kNever;
  ImxRecoveryRig& rig = Rig(loader);
  LogCapture log(0x10000);
  SleepRecorder sleep(false, [&](uint32_t) {
    if (sleep.pauses().size() == 4) rig.loader->PlugIn();
  });
  ::Fingerprint fp = {{0, 0, 0, 0}};
  ASSERT_TRUE(Fingerprint(fp));
  EXPECT_EQ(sleep.pauses().size(), 4u);
  EXPECT_EQ(log.count(kRefresh), 1u);
  EXPECT_EQ(fp.word[1], 3u);
}

TEST_F(RecoveryLoaderSearch, NoLoaderAfterFifteenTries) {
  SimRecoveryLoader::Settings loader;
  loader.plug = SimRecoveryLoader::Plug::kNever;
  Rig(loader);
  LogCapture log(0x10000);
  SleepRecorder sleep;
  ::Fingerprint fp = {{0, 0, 0, 0}};
  EXPECT_FALSE(Fingerprint(fp));
  EXPECT_EQ(sleep.pauses(), std::vector<uint32_t>(14, 1000));
  EXPECT_EQ(log.count(kRefresh), 5u);
  EXPECT_NE(log.text().find("Could not connect to device.\n"), std::string::npos);
  EXPECT_TRUE(display_.errors().empty());
}

// Each identifier word the loader cannot give fails the fingerprint, with its subindex.
TEST_F(RecoveryLoaderSearch, ARefusedIdentifierFailsTheFingerprint) {
  for (uint8_t refused : {0, 3}) {
    SCOPED_TRACE(static_cast<int>(refused));
    SimRecoveryLoader::Settings loader;
    loader.refusedSubindex = refused;
    loader.plugDelayMs = 0;
    Rig(loader);
    LogCapture log(0x10000);
    SleepRecorder sleep;
    ::Fingerprint fp = {{0, 0, 0, 0}};
    EXPECT_FALSE(Fingerprint(fp));
    EXPECT_NE(log.text().find("Error getting Identifier " + std::to_string(refused) + ".\n"), std::string::npos);
    EXPECT_EQ(rig_->loader->resets(), 0u);
    rig_->End();
    rig_.reset();
  }
}
