// corvantis-devsim with --loader: the updater, run as its child inside the simulator's own USB
// emulation, recovers the simulated i.MX chip, and the dump holds what each memory got.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FileText.h"
#include "RunUpdater.h"
#include "TempDir.h"

namespace {

const char* kDevsim = CORVANTIS_BINARY_DIR "/bin/corvantis-devsim";
const char* kWrapper = "/usr/bin/umockdev-wrapper";

}  // namespace

TEST(DevsimRecovery, TheUpdaterRecoversTheSimulatedChip) {
  if (access(kWrapper, X_OK) != 0) GTEST_SKIP() << "umockdev-wrapper is not installed (scripts/setup installs it)";
  TempDir dir;
  ByteVec loader = RandomBytes(2000, 61), firmware = RandomBytes(3000, 62);
  ASSERT_TRUE(BirdBuilder().Loader(0x20200000, loader).Firmware(0x60000000, firmware).WriteTo(dir / "both.bird"));
  RunOptions options;
  options.timeoutMs = 60000;
  // The simulator makes its own emulation: its preload comes before ASan's runtime.
  options.env = {{"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
  RunResult run = RunProgram(kWrapper,
                             {kDevsim, "--sdp-rom", dir / "sdp", "--loader", "DEADDEAD", "--dump", dir.path(), "--",
                              CORVANTIS_UPDATER_PATH, "-i", dir / "store", "-u", "http://127.0.0.1:9/cgi/u", "-U", "-t",
                              "RECOVER", "-s", dir / "sdp", "-d", "40F5849A", "-f", dir / "both.bird"},
                             options);
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("jump 0x20000400"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Transferred 1 blocks, 3004 total bytes"), std::string::npos) << run.out;
  std::vector<uint8_t> ram = ReadBytes(dir / "sdp-ram-0x20200000.bin");
  ASSERT_GE(ram.size(), loader.size());
  EXPECT_TRUE(std::equal(loader.begin(), loader.end(), ram.begin()));
  EXPECT_EQ(ReadBytes(dir / "loader-flash-0x60000000.bin"), firmware);
}
