// updater -D -t TCPIP: the real program finds corvantis-devsim's TCP devices by the probe and
// lists what each answers. lo carries 127.0.0.2 and 127.0.0.3 as well, so two probes go out and
// every device is reported, and listed, twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Child.h"
#include "Netns.h"
#include "RunUpdater.h"
#include "TempDir.h"
#include "UpdateOutput.h"

using Lines = std::vector<std::string>;

namespace {

const char* kDevsim = CORVANTIS_BINARY_DIR "/bin/corvantis-devsim";

}  // namespace

TEST(DiscoverTcpip, ListsEachReportOfEveryDevice) {
  RequirePrivateNetns();
  Child devsim(kDevsim, {"--tcp",   "0",          "--address", "8",          "--system",  "8",
                         "--serial", "8:0x2181F0EE", "--model", "8:3",        "--version", "8:0x2F020C05",
                         "--name",  "8:Lab-Switch", "--build",  "99528558",  "--probe",   "0x2181F0EE:3",
                         "--tcp",   "0",          "--address", "2",          "--refuse",  "--probe",
                         "0x0C0FFEE0:0"});
  unsigned port = 0;
  for (int i = 0; i < 2; ++i) {
    std::string line = devsim.Line(5000);
    ASSERT_EQ(sscanf(line.c_str(), "tcp 127.0.0.1 %u", &port), 1) << line;
  }
  TempDir dir;
  RunOptions options;
  options.timeoutMs = 60000;
  RunResult run = RunUpdater({"-i", dir.path(), "-D", "-t", "TCPIP"}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");

  Lines lines = SplitLines(run.out);
  ASSERT_GE(lines.size(), 4u) << run.out;
  EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 4),
            (Lines{"Searching for Corvantis devices", "Discovered Devices: (TCPIP)",
                   "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                   "Device Name"}));
  Lines rows(lines.begin() + 4, lines.end());
  std::sort(rows.begin(), rows.end());
  const std::string found =
      "    2181F0EE  08       08      Unknown        2.12.5 (  99528558)        [127.0.0.1]        Lab-Switch";
  // A TCP/IP row never shows the probe's error: the refused connection reads as 0.0.0.
  const std::string refused =
      "    0C0FFEE0  02       02      Unknown        0.0.0 (         0)        [127.0.0.1]        ";
  EXPECT_EQ(rows, (Lines{refused, refused, found, found})) << run.out;
  EXPECT_EQ(devsim.Stop(5000), 0);
}
