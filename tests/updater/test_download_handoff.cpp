#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Dispatch.h"
#include "FakeUpdateServer.h"
#include "LogCapture.h"
#include "Options.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Updater.h"

namespace {

// The real download; the update only records the build it is handed.
class HandOff : public Updater {
 public:
  using Updater::Updater;
  std::vector<uint32_t> handed;
  bool Update_Firmware(uint32_t, uint32_t build, std::string, uint8_t, uint32_t, bool) override {
    handed.push_back(build);
    return true;
  }
};

std::vector<uint32_t> Handed(const std::vector<std::string>& args, FakeUpdateServer& server) {
  TempDir dir;
  std::vector<std::string> line = {"updater"};
  line.insert(line.end(), args.begin(), args.end());
  line.insert(line.end(), {"-u", server.url()});
  std::vector<char*> argv;
  for (auto& a : line) argv.push_back(a.data());
  argv.push_back(nullptr);
  LogCapture quiet;
  RecordingDisplay display;
  Parameters params;
  EXPECT_EQ(_get_params(display, static_cast<int>(line.size()), argv.data(), &params), 0);
  std::string store = dir / "updater";
  HandOff updater(params.serverUrl.c_str(), store.c_str(), display);
  EXPECT_EQ(_run_commands(params, updater, display), 0);
  return updater.handed;
}

}  // namespace

TEST(DownloadHandOff, TheUpdateGetsTheStoredBuildOrTheAskedOne) {
  FakeUpdateServer server;
  EXPECT_EQ(Handed({"-G", "-U", "-d", "40F5849A"}, server), std::vector<uint32_t>{1234});
  EXPECT_EQ(server.count("bird"), 1u);
  server.Set("bird", FakeReply().Status(404));
  EXPECT_EQ(Handed({"-G", "-U", "-d", "40F5849A", "-b", "1200"}, server), std::vector<uint32_t>{1200});
  EXPECT_EQ(server.count("bird"), 2u);
}
