#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Dispatch.h"
#include "FakeUpdater.h"
#include "LogCapture.h"
#include "Options.h"
#include "RecordingDisplay.h"

namespace {

using Calls = std::vector<std::string>;
using Lines = std::vector<std::string>;

struct Outcome {
  int rc = -1;
  Calls calls;
  Lines infos;
  Lines errors;
};

// Reads the command line as main does, then runs the commands against the fake.
Outcome Dispatch(const std::vector<std::string>& args, const std::function<void(FakeUpdater&)>& script = nullptr) {
  std::vector<std::string> store = {"updater"};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  LogCapture capture;
  RecordingDisplay display;
  Parameters params;
  EXPECT_EQ(_get_params(display, static_cast<int>(store.size()), argv.data(), &params), 0);
  FakeUpdater fake(display);
  if (script) script(fake);
  Outcome run;
  run.rc = _run_commands(params, fake, display);
  run.calls = fake.calls;
  run.infos = display.infos();
  run.errors = display.errors();
  return run;
}

const char* const kUsbHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char* const kIpHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

}  // namespace

TEST(Dispatch, Fingerprint) {
  Outcome ok = Dispatch({"-N", "-s", "P"});
  EXPECT_EQ(ok.calls, Calls{"Get_Fingerprint(00000000 00000000 00000000 00000000, \"P\", DEADDEAD, \"\", 115200, 1)"});
  EXPECT_EQ(ok.infos, Lines{"[ 00000001 00000002 00000003 00000004 ]"});
  EXPECT_EQ(ok.rc, 0);

  Outcome silent = Dispatch({"-N", "-s", "P"}, [](FakeUpdater& f) { f.fingerprintOk = false; });
  EXPECT_EQ(silent.errors, Lines{"Got no response from chip"});
  EXPECT_EQ(silent.rc, 1);

  Outcome thenDiscover = Dispatch({"-N", "-s", "P", "-D"}, [](FakeUpdater& f) { f.fingerprintOk = false; });
  ASSERT_EQ(thenDiscover.calls.size(), 2u);
  EXPECT_EQ(thenDiscover.calls[1], "Discover_Devices(1)");
  EXPECT_EQ(thenDiscover.rc, 0);

  Outcome noPort = Dispatch({"-N", "-D"});
  EXPECT_TRUE(noPort.calls.empty());
  EXPECT_EQ(noPort.errors, Lines{"Must specify the serial port used for connecting"});
  EXPECT_EQ(noPort.rc, 1);
}

TEST(Dispatch, DownloadFeedsUpdate) {
  const std::vector<std::string> args = {"-G", "-U", "-d", "40F5849A", "-b", "99"};
  Outcome stored = Dispatch(args, [](FakeUpdater& f) { f.downloaded = 1234; });
  EXPECT_EQ(stored.calls, (Calls{"Download_Firmware(40F5849A, \"99\", 0, 0)", "Set_UEIBytes_Load(1)",
                                 "Update_Firmware(40F5849A, 1234, \"\", 0, 00000000, 0)"}));
  EXPECT_EQ(stored.infos, (Lines{"Retrieving firmware for device with serial number 40F5849A",
                                 "Retrieving firmware build 99"}));
  EXPECT_EQ(stored.rc, 0);

  Outcome failed = Dispatch(args, [](FakeUpdater& f) {
    f.downloaded = 0;
    f.workflowOk = false;
  });
  ASSERT_EQ(failed.calls.size(), 3u);
  EXPECT_EQ(failed.calls[2], "Update_Firmware(40F5849A, 99, \"\", 0, 00000000, 0)");
  EXPECT_EQ(failed.rc, 1);  // the update's status

  EXPECT_EQ(Dispatch({"-G", "-d", "40F5849A"}).rc, 1);
  Outcome alone = Dispatch({"-G", "-d", "40F5849A"}, [](FakeUpdater& f) { f.downloaded = 1234; });
  EXPECT_EQ(alone.rc, 0);
  EXPECT_EQ(alone.infos, (Lines{"Retrieving firmware for device with serial number 40F5849A", "No build specified",
                                "Using Latest build"}));

  Outcome noDevice = Dispatch({"-G", "-U"});
  EXPECT_TRUE(noDevice.calls.empty());
  EXPECT_EQ(noDevice.errors, (Lines{"-G must specify a specific device via -d", "--help for usage information"}));
  EXPECT_EQ(noDevice.rc, 1);
}

TEST(Dispatch, OnlyOneOfTheLaterCommands) {
  EXPECT_EQ(Dispatch({"-D", "-U", "-d", "40F5849A"}).calls, Calls{"Discover_Devices(1)"});
  Outcome update = Dispatch({"-U", "-B", "-d", "40F5849A"});
  EXPECT_EQ(update.calls, (Calls{"Set_UEIBytes_Load(1)", "Update_Firmware(40F5849A, 0, \"\", 0, 00000000, 0)"}));
  EXPECT_EQ(Dispatch({"-B", "-L", "-d", "1"}).calls, Calls{"Get_BuildList(00000001)"});
  Outcome nothing = Dispatch({"-I", "-C", "-Z", "x"});
  EXPECT_TRUE(nothing.calls.empty());
  EXPECT_EQ(nothing.rc, 0);
}

TEST(Dispatch, DiscoveryTransportsAndHeadings) {
  struct Row {
    std::vector<std::string> args;
    const char* call;
    const char* searching;
    const char* heading;
    const char* columns;
  };
  const Row rows[] = {
      {{"-D"}, "Discover_Devices(1)", "Searching for Corvantis devices", "Discovered Devices: (USB)", kUsbHeading},
      {{"-D", "-t", "TCP"}, "Discover_Devices(2)", "Searching for Corvantis devices", "Discovered Devices: (TCPIP)",
       kIpHeading},
      {{"-D", "-t", "RECOVER"}, "Discover_Devices(1)", "Searching for Corvantis devices",
       "Discovered Devices: (USB)", kUsbHeading},
      {{"-D", "-r", "D272031D"}, "Discover_QLNetwork_Devices(D272031D, 0)",
       "Searching for Corvantis Network devices connected to D272031D", "Discovered Devices: (Unknown)", kIpHeading},
      {{"-D", "-r", "D272031D", "-t", "USB"}, "Discover_QLNetwork_Devices(D272031D, 1)",
       "Searching for Corvantis Network devices connected to D272031D", "Discovered Devices: (USB)", kUsbHeading},
  };
  DeviceInfo device;
  device.spec.type = USB;
  device.spec.serialNumber = 0x40F5849A;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.call);
    Outcome run = Dispatch(r.args, [&](FakeUpdater& f) { f.devices = {device}; });
    EXPECT_EQ(run.calls, Calls{r.call});
    ASSERT_EQ(run.infos.size(), 4u);
    EXPECT_EQ(run.infos[0], r.searching);
    EXPECT_EQ(run.infos[1], r.heading);
    EXPECT_EQ(run.infos[2], r.columns);
    EXPECT_EQ(run.rc, 0);
  }
  // A search that could not run prints no list and fails.
  Outcome failed = Dispatch({"-D"}, [](FakeUpdater& f) { f.listOk = false; });
  EXPECT_EQ(failed.infos, Lines{"Searching for Corvantis devices"});
  EXPECT_EQ(failed.rc, 1);
}

TEST(Dispatch, UpdateAndRecovery) {
  Outcome recover = Dispatch({"-U", "-t", "RECOVER", "-s", "P", "-f", "F", "-o", "9600"});
  EXPECT_EQ(recover.calls, (Calls{"Set_UEIBytes_Load(1)", "Recover_Firmware(\"P\", 0, 9600, 00000000, \"F\", 0)"}));
  EXPECT_EQ(recover.rc, 0);
  Outcome failed = Dispatch({"-U", "-t", "RECOVER", "-s", "P"}, [](FakeUpdater& f) { f.workflowOk = false; });
  EXPECT_EQ(failed.rc, 1);

  Outcome update = Dispatch({"-U", "-d", "40F5849A", "-m", "0", "-OVERRIDE", "-f", "F", "-r", "D272031D"});
  EXPECT_EQ(update.calls,
            (Calls{"Set_UEIBytes_Load(0)", "Update_Firmware(40F5849A, 0, \"F\", 0, D272031D, 1)"}));
  EXPECT_EQ(update.rc, 0);

  Outcome noDevice = Dispatch({"-U"});
  EXPECT_EQ(noDevice.errors, Lines{"Must specify the specific device to be updated"});
  EXPECT_EQ(noDevice.rc, 1);
}

TEST(Dispatch, BuildLists) {
  for (const char* command : {"-B", "-L"}) {
    SCOPED_TRACE(command);
    std::string list = command[1] == 'B' ? "Get_BuildList(40F5849A)" : "Get_BuildListLocal(40F5849A)";
    Outcome some = Dispatch({command, "-d", "40F5849A"},
                        [](FakeUpdater& f) { f.builds = {{"100", "2.9.0"}, {"101", "2.10.1"}, {"102", "2.10.0"}}; });
    EXPECT_EQ(some.calls, Calls{list});
    EXPECT_EQ(some.infos, (Lines{"Build List for device [40F5849A]:\n", "Build          \tVersion        ",
                                 "101            \t2.10.1         ", "102            \t2.10.0         ",
                                 "100            \t2.9.0          "}));
    EXPECT_EQ(some.rc, 0);

    Outcome empty = Dispatch({command, "-d", "40F5849A"});
    EXPECT_EQ(empty.infos, Lines{"No builds found for device [40F5849A]"});
    EXPECT_EQ(empty.rc, 0);

    Outcome failed = Dispatch({command, "-d", "40F5849A"}, [](FakeUpdater& f) {
      f.listOk = false;
      f.builds = {{"1", "1.0.0"}};
    });
    EXPECT_TRUE(failed.infos.empty());
    EXPECT_EQ(failed.rc, 1);

    Outcome noDevice = Dispatch({command});
    EXPECT_TRUE(noDevice.calls.empty());
    EXPECT_EQ(noDevice.errors.size(), 1u);
    EXPECT_EQ(noDevice.rc, 1);
  }
}

TEST(Dispatch, RealUpdaterHoldsItsSettings) {
  RecordingDisplay display;
  Updater updater("U", "S", display);
  updater.Set_UEIBytes_Load(true);
  EXPECT_TRUE(updater.UseUEIBytes());
  EXPECT_EQ(updater.UpdaterDir(), "S");
}

TEST(Dispatch, AnEscapingExceptionEndsTheRunWithItsText) {
  struct Case {
    const char* name;
    std::function<int()> run;
    Lines errors;
    int rc;
  };
  const Case cases[] = {
      {"status 0", [] { return 0; }, {}, 0},
      {"status 1", [] { return 1; }, {}, 1},
      {"runtime_error", []() -> int { throw std::runtime_error("Failed to load bird data"); },
       {"Error: Failed to load bird data"}, 1},
      {"out of memory", []() -> int { throw std::bad_alloc(); }, {"Error: std::bad_alloc"}, 1},
      {"no std::exception", []() -> int { throw 42; }, {"Error: unknown failure"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingDisplay display;
    EXPECT_EQ(_run_guarded(display, c.run), c.rc);
    EXPECT_EQ(display.errors(), c.errors);
    EXPECT_EQ(display.infos(), Lines{});
  }
}
