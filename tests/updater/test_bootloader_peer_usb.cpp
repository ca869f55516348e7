// The simulated boot ROM's usbfs face against imx_usb from Debian, run inside the emulation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "RunUpdater.h"
#include "SimSdpRom.h"
#include "TempDir.h"
#include "UsbEmulationTest.h"

namespace {

class SdpUsbPeer : public UsbEmulationTest {};

// The tool sees the testbed through the same preload and folder as this process.
RunOptions InsideTheEmulation(int ms) {
  RunOptions options;
  options.timeoutMs = ms;
  for (const char* name : {"LD_PRELOAD", "UMOCKDEV_DIR"})
    if (const char* value = getenv(name)) options.env.emplace_back(name, value);
  return options;
}

}  // namespace

TEST_F(SdpUsbPeer, ImxUsbLoadsAFile) {
  if (access("/usr/bin/imx_usb", X_OK) != 0) GTEST_SKIP() << "imx_usb is not installed (scripts/setup installs it)";
  TempDir dir;
  std::vector<uint8_t> file(2500);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 13 + 5);
  std::ofstream(dir / "loader.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  std::ofstream(dir / "imx_usb.conf") << "0x1fc9:0x0130, rt1050.conf\n";
  std::ofstream(dir / "rt1050.conf") << "mimxrt1050\nhid,1024,0x20000000,0x20000000,512K\n"
                                     << (dir / "loader.bin") << ":load 0x20000000\n";
  SimSdpRom rom;
  rom.plugUsb(usb());
  RunResult run = RunProgram("/usr/bin/imx_usb", {"-c", dir.path()}, InsideTheEmulation(30000));
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(rom.ram(0x20000000, file.size()), file);
}
