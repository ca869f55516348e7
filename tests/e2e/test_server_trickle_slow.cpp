#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "FakeUpdateServer.h"
#include "RunUpdater.h"
#include "TempDir.h"

// A short reply that never stalls but never ends either: two bytes a second stay above the
// stall rule's 1 byte/s, so only the overall limit of short requests (60 s) can end it. The
// reply would take 80 s, and would then succeed.
TEST(ServerTrickle, ShortReplyEndsWithinItsOverallLimit) {
  TempDir t;
  FakeUpdateServer server;
  std::string reply = "ok\n1234\n2.12.5\n";
  reply.resize(160, '\n');
  server.Set("qu", FakeReply().Body(reply).Trickle(static_cast<int>(reply.size()), 500));

  RunOptions options;
  options.timeoutMs = 120000;
  auto start = std::chrono::steady_clock::now();
  RunResult run = RunUpdater({"-G", "-d", "40F5849A", "-u", server.url(), "-i", t / "s"}, options);
  auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "No build information for device\n");
  EXPECT_LT(took, std::chrono::seconds(70));
  EXPECT_EQ(server.targets(), (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=40F5849A&"}));
}
