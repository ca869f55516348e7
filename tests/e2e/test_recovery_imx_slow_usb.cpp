// updater -N when the started recovery loader never comes up on the bus: every one of the
// search's tries, with its real pauses, then the failure.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "RecoveryRigs.h"
#include "RunUpdater.h"
#include "TempDir.h"
#include "UsbEmulationTest.h"
#include "unix_time.h"

namespace {

class RecoveryImxSlow : public UsbEmulationTest {
 protected:
  void TearDown() override {
    if (rig_) rig_->End();
    UsbEmulationTest::TearDown();
  }
  TempDir store_;
  std::unique_ptr<ImxRecoveryRig> rig_;
};

}  // namespace

TEST_F(RecoveryImxSlow, ALoaderThatNeverComesUpFailsAfterEveryTry) {
  SimRecoveryLoader::Settings loader;
  loader.plug = SimRecoveryLoader::Plug::kNever;
  rig_ = std::make_unique<ImxRecoveryRig>(usb(), loader);
  StoreRecoveryLoader(store_.path(), RecoveryLoaderImage());
  RunOptions options;
  AddUsbEmulationEnv(options);
  options.timeoutMs = 120000;
  uint64_t start = aTime_GetMonotonicMS();
  RunResult run = RunUpdater({"-i", store_.path(), "-u", "http://127.0.0.1:9/cgi/u", "-X", "0x10000", "-N", "-s",
                              rig_->port()},
                             options);
  uint64_t took = aTime_GetMonotonicMS() - start;
  EXPECT_EQ(run.exitStatus, 1);
  // Fourteen pauses of a second between fifteen tries.
  EXPECT_GE(took, 14000u);
  std::istringstream err(run.err);
  std::vector<std::string> lines;
  for (std::string line; std::getline(err, line);) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Got no response from chip");
  size_t refreshes = 0;
  for (const std::string& line : lines) refreshes += line == "Failed enumeration after 3 tries, refreshing libusb context.";
  EXPECT_EQ(refreshes, 5u);
  EXPECT_NE(run.err.find("Could not connect to device.\n"), std::string::npos);
  EXPECT_EQ(rig_->rom.jumps(), (std::vector<uint32_t>{0x20000400}));
}
