// The simulated boot loaders against two independent flashing tools from Debian (lpc21isp and
// imx_uart): what they accept, the simulated chips must accept too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "FileText.h"
#include "PtyPair.h"
#include "RunUpdater.h"
#include "SimLpcIsp.h"
#include "SimSdpRom.h"
#include "TempDir.h"

namespace {

bool Installed(const char* tool) {
  for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
    if (access((std::string(dir) + tool).c_str(), X_OK) == 0) return true;
  return false;
}

#define REQUIRE_TOOL(tool) \
  if (!Installed(tool)) GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)"

RunOptions Bounded(int ms) {
  RunOptions options;
  options.timeoutMs = ms;
  return options;
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace

TEST(LpcPeer, DetectsTheChip) {
  REQUIRE_TOOL("lpc21isp");
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.start();
  RunResult run = RunProgram("/usr/bin/lpc21isp", {"-detectonly", "-debug5", pty.slaveName(), "115200", "14746"},
                             Bounded(20000));
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_NE((run.out + run.err).find("LPC1768"), std::string::npos) << run.out << run.err;
}

TEST(LpcPeer, ProgramsAndVerifiesAFile) {
  REQUIRE_TOOL("lpc21isp");
  TempDir dir;
  std::vector<uint8_t> file = RandomBytes(10000, 5);
  WriteText(dir / "image.bin", std::string(file.begin(), file.end()));
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.configure([](SimLpcIsp::Settings& s) {
    s.resendGroup = 1;
    s.resendTimes = 1;
  });
  chip.start();
  RunResult run = RunProgram("/usr/bin/lpc21isp", {"-bin", "-verify", dir / "image.bin", pty.slaveName(), "115200", "14746"},
                             Bounded(60000));
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;

  std::vector<uint8_t> flash = chip.flash(0, file.size());
  // The tool writes the vector checksum into word 7 on purpose: the first 8 words sum to 0.
  std::vector<uint8_t> expected = file;
  std::copy(flash.begin() + 0x1C, flash.begin() + 0x20, expected.begin() + 0x1C);
  EXPECT_EQ(flash, expected);
  uint32_t total = 0;
  for (size_t i = 0; i < 32; i += 4) total += Word(flash, i);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(chip.executedFrom(), std::optional<uint32_t>(0));
  std::vector<std::string> lines = chip.commandLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "G 0 T"), lines.end());
  bool resent = false;
  for (const auto& c : chip.checksums()) resent = resent || !c.accepted;
  EXPECT_TRUE(resent);
}

TEST(LpcPeer, GivesUpOnASilentChip) {
  REQUIRE_TOOL("lpc21isp");
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.configure([](SimLpcIsp::Settings& s) { s.silent = true; });
  chip.start();
  RunResult run = RunProgram("/usr/bin/lpc21isp", {"-try5", "-detectonly", pty.slaveName(), "115200", "14746"},
                             Bounded(30000));
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
}

TEST(SdpPeer, ImxUartLoadsAndVerifies) {
  REQUIRE_TOOL("imx_uart");
  TempDir dir;
  std::vector<uint8_t> file = RandomBytes(2500, 6);
  WriteText(dir / "loader.bin", std::string(file.begin(), file.end()));
  WriteText(dir / "rt1050.conf", "mimxrt1050\nhid,1024,0x20000000,0x20000000,512K\n" + (dir / "loader.bin") +
                                      ":load 0x20000000\n");
  PtyPair pty(true);
  SimSdpRom rom;
  rom.serveSerial(pty);
  RunResult run = RunProgram("/usr/bin/imx_uart", {"-N", "-n", "-v", pty.slaveName(), dir / "rt1050.conf"}, Bounded(30000));
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("succeeded (security 0x56787856, status 0x88888888)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Verify success"), std::string::npos) << run.out;
  EXPECT_EQ(rom.ram(0x20000000, file.size()), file);
}
