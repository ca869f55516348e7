// The firmware-upgrade entity following a device that drops its link: the device ends and
// brings back its link on its own thread while the entity reconnects and waits on the caller's,
// so these run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Eventually.h"
#include "Log.h"
#include "LogCapture.h"
#include "UpgradeRigs.h"

using Bytes = std::vector<uint8_t>;
using Phase = SimLinkDevice::PhaseChange;

namespace {

constexpr uint64_t kBound = 5000;

// A LOAD that drops the link.
Phase Dropping(Phase::Return back, bool greet, int dropsOnReturn) {
  Phase change;
  change.link = Phase::LinkEnd::kDrop;
  change.back = back;
  change.greet = greet;
  change.dropsOnReturn = dropsOnReturn;
  return change;
}

}  // namespace

TEST(UpdaterEntity, LoaderStartFollowsADeviceThatDropsItsLink) {
  struct Case {
    const char* name;
    bool answerLoad;
    Phase onLoad;
    bool networking;
    aErr result;
    std::vector<uint32_t> pauses;
    std::vector<std::string> lines;  // in the log, in this order
  };
  const Phase backAfterFirstPause = Dropping(Phase::Return::kOnTrigger, false, 0);
  const Phase greeting = Dropping(Phase::Return::kOnTrigger, true, 0);
  const Phase gone = Dropping(Phase::Return::kNever, false, 0);
  const Phase flaky = Dropping(Phase::Return::kOnTrigger, true, 1);
  const std::string attempt = "NETWORK: Attempting to reconnect. Attempt: ";
  const std::string failed = "NETWORK: Couldn't reconnect to device delaying: 500 ms\n";
  const std::string back = "NETWORK: Reconnected to device\n";
  const Case cases[] = {
      {"answered", true, {}, false, aErrNone, {}, {"NETWORK: Loader validated start\n"}},
      {"back after a pause, greeting",
       false,
       greeting,
       false,
       aErrNone,
       {500},
       {attempt + "1 of 5\n", failed, attempt + "2 of 5\n", back, "NETWORK: Loader validated start (Reconnect)\n"}},
      {"back after a pause, silent",
       false,
       backAfterFirstPause,
       false,
       aErrTimeout,
       {500},
       {attempt + "2 of 5\n", back, "NETWORK: Invalid or reply when starting loader (Reconnect). [18, aErrTimeout]\n"}},
      {"gone",
       false,
       gone,
       false,
       aErrTimeout,
       std::vector<uint32_t>(10, 500),
       {attempt + "5 of 5\n", "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 5 of 5\n",
        "NETWORK: Invalid or reply when starting loader. ["}},
      // The second attempt meets a link that the device resets: the link made is let go, so
      // that the third can make its own.
      {"first link back is reset",
       false,
       flaky,
       true,
       aErrNone,
       {500, 500},
       {attempt + "2 of 5\n", failed, attempt + "3 of 5\n", back}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimDeviceProfile profile;
    profile.upgrade.answerLoad = c.answerLoad;
    TcpUpgradeRig rig(profile, c.networking);
    rig.sim.device.SetOnLoad(c.onLoad);
    ASSERT_EQ(rig.Connect(), aErrNone);
    SleepRecorder sleeps(false, [&](uint32_t) { rig.sim.device.TriggerReturn(); });
    LogCapture log(DEBUG_Network | DEBUG_Network_FIRM);
    EXPECT_EQ(rig.entity.LoaderStart(), c.result);
    EXPECT_EQ(sleeps.pauses(), c.pauses);
    std::string text = log.text();
    size_t at = 0;
    for (const std::string& line : c.lines) {
      size_t found = text.find(line, at);
      EXPECT_NE(found, std::string::npos) << line << "\nin:\n" << text;
      if (found != std::string::npos) at = found + line.size();
    }
    EXPECT_TRUE(rig.network().LoaderRunning(6));
  }
}

TEST(UpdaterEntity, RebootWaitsForTheLinkToDropWithinBounds) {
  struct Case {
    const char* name;
    Phase::LinkEnd end;
    bool routed;
    bool downBefore;
    aErr result;
    size_t maxPauses;
    size_t minPauses;
    bool noDropLine;
  };
  const Case cases[] = {
      {"reset with the listener closed", Phase::LinkEnd::kDrop, false, false, aErrNone, 39, 1, false},
      {"link stays", Phase::LinkEnd::kStay, false, false, aErrNone, 40, 40, true},
      {"clean close", Phase::LinkEnd::kClose, false, false, aErrNone, 40, 40, true},
      {"routed", Phase::LinkEnd::kStay, true, false, aErrNone, 1, 1, false},
      {"link already down", Phase::LinkEnd::kStay, false, true, aErrConnection, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpUpgradeRig rig;
    Phase change;
    change.link = c.end;
    rig.sim.device.SetOnReboot(change);
    ASSERT_EQ(rig.Connect(), aErrNone);
    rig.entity.init(&rig.module, 0, true, c.routed);
    if (c.downBefore) {
      rig.sim.listener.StopListening();
      rig.sim.listener.ResetConnection();
      ASSERT_TRUE(Eventually([&] { return !rig.module.isConnected(); }, kBound));
    }
    // A drop takes real time to be seen; the other cases need not wait out their passes, only
    // for the device to have ended its link (or not) first.
    bool dropping = c.end == Phase::LinkEnd::kDrop;
    auto rebootArrived = [&] {
      std::vector<Bytes> sent = rig.Packets95();
      return !sent.empty() && sent.back() == Bytes{95, 6};
    };
    bool first = true;
    SleepRecorder sleeps(dropping, [&](uint32_t) {
      if (!first) return;
      first = false;
      Eventually(rebootArrived, kBound);
      if (c.end == Phase::LinkEnd::kClose) rig.sim.listener.WaitForEnd(1, kBound);
    });
    LogCapture log(DEBUG_Network_FIRM);
    EXPECT_EQ(rig.entity.LoaderReboot(rig.display), c.result);
    std::vector<uint32_t> pauses = sleeps.pauses();
    EXPECT_LE(pauses.size(), c.maxPauses);
    EXPECT_GE(pauses.size(), c.minPauses);
    for (uint32_t ms : pauses) EXPECT_EQ(ms, 250u);
    EXPECT_EQ(log.text().find("NETWORK: Link did not drop after reboot\n") != std::string::npos, c.noDropLine);
    if (!c.downBefore) {
      EXPECT_TRUE(Eventually(rebootArrived, kBound));
    }
    EXPECT_EQ(rig.display.events.back().kind, RecordingDisplay::Event::SpinnerOff);
    EXPECT_EQ(rig.display.events.back().text, "Verifying Update");
  }
}
