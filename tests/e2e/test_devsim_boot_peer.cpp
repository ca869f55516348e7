// corvantis-devsim serves the simulated boot loaders on ptys and as USB devices to a command it
// runs, and dumps their memories at the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "FileText.h"
#include "RunUpdater.h"
#include "TempDir.h"

namespace {

const char* kDevsim = CORVANTIS_BINARY_DIR "/bin/corvantis-devsim";

}  // namespace

TEST(DevsimBoot, ServesBothBootLoadersToACommand) {
  if (access("/usr/bin/lpc21isp", X_OK) != 0 || access("/usr/bin/imx_uart", X_OK) != 0)
    GTEST_SKIP() << "lpc21isp and imx_uart are not installed (scripts/setup installs them)";
  TempDir dir;
  std::vector<uint8_t> image(2500);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 3));
  std::ofstream(dir / "img.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::ofstream(dir / "rt.conf") << "mimxrt1050\nhid,1024,0x20000000,0x20000000,512K\n" << (dir / "img.bin")
                                 << ":load 0x20000000\n";
  std::string script = "lpc21isp -detectonly " + (dir / "lpc") + " 115200 14746 && imx_uart -N -n " + (dir / "sdp") +
                       " " + (dir / "rt.conf");
  RunOptions options;
  options.timeoutMs = 30000;
  RunResult run = RunProgram(kDevsim, {"--lpc-isp", dir / "lpc", "--sdp-rom", dir / "sdp", "--dump", dir.path(), "--",
                                       "/bin/sh", "-c", script},
                             options);
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("pty " + (dir / "lpc")), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("LPC1768"), std::string::npos) << run.out;
  std::vector<uint8_t> ram = ReadBytes(dir / "sdp-ram-0x20000000.bin");
  ASSERT_GE(ram.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), ram.begin()));
  EXPECT_EQ(ReadBytes(dir / "lpc-flash.bin").size(), 0x80000u);
  EXPECT_NE(access((dir / "lpc").c_str(), F_OK), 0);  // the links go at the end
}
