#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeUpdateServer.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Updater.h"
#include "aDirectory.h"

// The download runs on a worker thread while the main thread turns the spinner; this
// program also runs under ThreadSanitizer.

namespace {

std::vector<RecordingDisplay::Event> Spinner(const RecordingDisplay& display) {
  std::vector<RecordingDisplay::Event> out;
  for (const auto& e : display.events)
    if (e.kind == RecordingDisplay::Event::SpinnerOn || e.kind == RecordingDisplay::Event::SpinnerOff) out.push_back(e);
  return out;
}

}  // namespace

TEST(BuildDownloadSpinner, TurnsWhileTheWorkerFetches) {
  TempDir dir;
  FakeUpdateServer server;
  RecordingDisplay display;
  std::string store = dir / "updater";
  ASSERT_EQ(aDirectory_Ensure(store.c_str(), 0755), aErrNone);
  Updater updater{server.url().c_str(), store.c_str(), display};

  for (int delayMs : {350, 0}) {
    SCOPED_TRACE(delayMs);
    display.events.clear();
    server.Set("bird", FakeReply().Delay(delayMs));
    ASSERT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 1234u);
    auto spinner = Spinner(display);
    ASSERT_FALSE(spinner.empty());
    for (const auto& e : spinner) EXPECT_EQ(e.text, "Downloading");
    size_t on = spinner.size() - 1;
    EXPECT_EQ(spinner.back().kind, RecordingDisplay::Event::SpinnerOff);
    for (size_t i = 0; i < on; ++i) EXPECT_EQ(spinner[i].kind, RecordingDisplay::Event::SpinnerOn);
    EXPECT_GE(on, delayMs > 0 ? 3u : 1u);
  }
}

