#include <gtest/gtest.h>

#include <string>

#include "Log.h"
#include "LogCapture.h"

TEST(Log, TopicMaskRules) {
  struct Row {
    const char* name;
    unsigned active;
    unsigned mask;
    bool written;
  };
  const Row rows[] = {
      {"mask 0 with nothing active", 0, 0, true},
      {"topic off", DEBUG_BirdFile, DEBUG_ServerComm, false},
      {"topic on", DEBUG_BirdFile, DEBUG_BirdFile, true},
      {"any shared bit", DEBUG_APP, DEBUG_APP | DEBUG_Updater, true},
      {"the unused 0x10 is its own topic", DEBUG_Network, DEBUG_Network_0x10, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    LogCapture capture(r.active);
    Log::log(r.mask, "line %d\n", 7);
    EXPECT_EQ(capture.text(), r.written ? "line 7\n" : "");
  }
}

TEST(Log, NothingAddedAndLongLinesCut) {
  LogCapture capture;
  Log::log(0, "%s", "no end ");
  Log::log(0, "%s\n", "of line");
  EXPECT_EQ(capture.text(), "no end of line\n");
  capture.clear();
  Log::log(0, "%s", std::string(3000, 'z').c_str());
  EXPECT_EQ(capture.text(), std::string(2047, 'z'));
}

TEST(Log, NothingWithoutOutput) {
  LogCapture capture;
  Log::SetOutput(nullptr);
  Log::log(0, "%s", "lost\n");  // no stream yet: nothing, no crash
  EXPECT_EQ(capture.text(), "");
}

TEST(Log, ActivateAndDeactivate) {
  LogCapture capture;
  Log::ActivatePackage(DEBUG_ServerComm);
  Log::ActivatePackage(DEBUG_BirdFile);
  EXPECT_EQ(Log::GetPackages(), unsigned(DEBUG_ServerComm | DEBUG_BirdFile));
  Log::DeactivatePackage(DEBUG_ServerComm);
  EXPECT_EQ(Log::GetPackages(), unsigned(DEBUG_BirdFile));
}
