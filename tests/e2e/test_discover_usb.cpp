// updater -D over USB: the real program lists the simulated devices of this process's emulated
// bus, directly or behind a routing module.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "RunUpdater.h"
#include "TempDir.h"
#include "UpdateOutput.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

namespace {

class DiscoverUsb : public UsbEmulationTest {
 protected:
  UsbSimDevice& Add(uint8_t address, const SimDeviceProfile& profile) {
    sims_.push_back(std::make_unique<UsbSimDevice>(usb(), address, profile));
    return *sims_.back();
  }
  RunResult Run(const std::vector<std::string>& args) {
    RunOptions options;
    AddUsbEmulationEnv(options);
    options.timeoutMs = 60000;
    std::vector<std::string> all = {"-i", dir_.path()};
    all.insert(all.end(), args.begin(), args.end());
    return RunUpdater(all, options);
  }

  TempDir dir_;
  std::vector<std::unique_ptr<UsbSimDevice>> sims_;
};

// The output after the version line: `head` in order, then `rows` in any order.
void ExpectListing(const std::string& out, const Lines& head, Lines rows) {
  Lines lines = SplitLines(out);
  ASSERT_GE(lines.size(), 1 + head.size()) << out;
  EXPECT_EQ(lines[0].rfind("Updater (Version: ", 0), 0u) << out;
  EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 1 + head.size()), head) << out;
  Lines got(lines.begin() + 1 + head.size(), lines.end());
  std::sort(got.begin(), got.end());
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(got, rows) << out;
}

const char* const kUsbHeader = "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char* const kNetHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

SimDeviceProfile Profile(uint32_t serial, uint8_t model, uint32_t version, uint32_t build, const std::string& name) {
  SimDeviceProfile p;
  p.serial = serial;
  p.model = model;
  p.version = version;
  p.build = build;
  p.name = name;
  return p;
}

}  // namespace

TEST_F(DiscoverUsb, ListsEveryDeviceOnTheBus) {
  SimDeviceProfile psu = Profile(0x40F5849A, 3, SimDeviceProfile::Version(2, 10, 4), 12345, "Bench-PSU");
  psu.router = 0;
  UsbSimDevice& first = Add(6, psu);
  SimDeviceProfile mini = Profile(0x1234ABCD, 13, SimDeviceProfile::Version(2, 10, 3), 1, "Mini");
  mini.router = 0;
  mini.buildReplyLength = 5;
  UsbSimDevice& second = Add(4, mini);
  Add(6, Profile(0x0BADBEEF, 13, SimDeviceProfile::Version(2, 12, 5), 1, "Busy")).emulated->setClaimErrno(EBUSY);

  RunResult run = Run({"-D"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  ExpectListing(run.out, {"Searching for Corvantis devices", "Discovered Devices: (USB)", kUsbHeader},
                {"    40F5849A  06       00      Unknown        2.10.4 (     12345)         Bench-PSU",
                 "    1234ABCD  04       00      SwitchMini     2.10.3 (         0)         ",
                 "    0BADBEEF  [Error (25): Device in use. Close all other Tavrin associated applications.]"});
  for (UsbSimDevice* sim : {&first, &second}) {
    ASSERT_TRUE(sim->device.WaitForRoutes(2, 5000));
    EXPECT_EQ(sim->device.RoutePackets().back(), (Bytes{0xAF, 1, 0}));
    EXPECT_EQ(ReceivedSince(sim->device).back(), (Bytes{0xAF, 1, 0}));
  }
  for (const SimLinkDevice::Received& r : second.device.Packets())
    EXPECT_FALSE(r.wire.size() >= 5 && r.wire[2] == 3 && r.wire[3] == 0x60) << "no name asked of 2.10.3";
}

TEST_F(DiscoverUsb, SaysSoWhenTheBusHoldsNone) {
  RunResult run = Run({"-D"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(SplitLines(run.out), (Lines{SplitLines(run.out).at(0), "Searching for Corvantis devices",
                                        "Discovered Devices: (USB)", "    No devices found."}));
  EXPECT_EQ(run.err, "");
}

TEST_F(DiscoverUsb, ListsTheModulesBehindARoutingModule) {
  UsbSimDevice& router = Add(4, Profile(0xD272031D, 13, SimDeviceProfile::Version(2, 12, 5), 5, "Router"));
  router.network().SetRouting({});
  SimDeviceProfile a = Profile(0x0000A008, 3, SimDeviceProfile::Version(2, 10, 4), 777, "Eight");
  a.router = 4;
  ApplyProfile(router.network(), 0x08, a);
  SimDeviceProfile b = Profile(0x0000A00A, 13, SimDeviceProfile::Version(2, 12, 5), 778, "Ten");
  b.router = 4;
  ApplyProfile(router.network(), 0x0A, b);
  ApplyProfile(router.network(), 0xFE, Profile(0x0000A0FE, 13, SimDeviceProfile::Version(2, 12, 5), 779, "Far"));

  RunResult run = Run({"-D", "-r", "D272031D"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(SplitLines(run.out),
            (Lines{SplitLines(run.out).at(0), "Searching for Corvantis Network devices connected to D272031D",
                   "Discovered Devices: (Unknown)", kNetHeader,
                   "    0000A008  08       04      Unknown        2.10.4 (       777)         ",
                   "    0000A00A  0A       04      SwitchMini     2.12.5 (       778)         "}));

  // On the routing module's link: route on, 125 probes, route off; no name asked behind it.
  ASSERT_TRUE(router.device.WaitForRoutes(2, 5000));
  std::vector<Bytes> wires = ReceivedSince(router.device);
  const Bytes routeOn = {4, 4, 3, 0x94, 0x20, 1};
  const Bytes routeOff = {4, 4, 3, 0x94, 0x20, 0};
  auto on = std::find(wires.begin(), wires.end(), routeOn);
  auto off = std::find(wires.begin(), wires.end(), routeOff);
  ASSERT_NE(on, wires.end());
  ASSERT_NE(off, wires.end());
  std::vector<size_t> probes;
  for (size_t i = 0; i < wires.size(); ++i) {
    const Bytes& w = wires[i];
    if (w.size() > 2 && w[2] == 8) {
      EXPECT_EQ(w, (Bytes{4, 7, 8, 0, w[4], 2, 3, 0, 0}));
      EXPECT_NE(w[4], 4);
      EXPECT_NE(w[4], 254);
      probes.push_back(i);
    }
    EXPECT_FALSE(w.size() > 3 && w[0] != 4 && w[2] == 3 && w[3] == 0x60) << "no name asked behind the router";
  }
  ASSERT_EQ(probes.size(), 125u);
  EXPECT_LT(static_cast<size_t>(on - wires.begin()), probes.front());
  EXPECT_GT(static_cast<size_t>(off - wires.begin()), probes.back());
}
