#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "RunUpdater.h"
#include "TempDir.h"

TEST(KitRunner, SeparateStreamsCleanEnvironmentAndWorkingFolder) {
  TempDir t;
  setenv("http_proxy", "http://proxy.invalid:1", 1);
  RunOptions options;
  options.cwd = t.path();
  options.env = {{"EXTRA", "1"}};
  RunResult run = RunProgram("/bin/sh", {"-c", "echo out; echo err >&2; pwd; env | sort; exit 3"}, options);
  unsetenv("http_proxy");
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(run.err, "err\n");
  EXPECT_EQ(run.out.rfind("out\n" + t.path() + "\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("HOME=" + t.path() + "/home\n"), std::string::npos);
  EXPECT_NE(run.out.find("LC_ALL=C\n"), std::string::npos);
  EXPECT_NE(run.out.find("TZ=UTC\n"), std::string::npos);
  EXPECT_NE(run.out.find("EXTRA=1\n"), std::string::npos);
  EXPECT_EQ(run.out.find("proxy"), std::string::npos);
}

TEST(KitRunner, TimeLimitKillsAndFails) {
  RunOptions options;
  options.timeoutMs = 200;
  RunResult run;
  EXPECT_NONFATAL_FAILURE(run = RunProgram("/bin/sleep", {"20"}, options), "was killed");
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.signal, SIGKILL);
}
