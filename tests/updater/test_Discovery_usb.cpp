// The discover workflows in process against simulated devices on an emulated USB bus: what the
// probe of each device makes of its answers, and the scan behind a routing module.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Corvantis-C.h"
#include "DisableEther.h"
#include "LogCapture.h"
#include "Log.h"
#include "RecordingDisplay.h"
#include "Updater.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kRouter = 0xD272031D;

class DiscoveryUsb : public UsbEmulationTest {
 protected:
  UsbSimDevice& Add(uint8_t address, const SimDeviceProfile& profile) {
    sims_.push_back(std::make_unique<UsbSimDevice>(usb(), address, profile));
    return *sims_.back();
  }
  const DeviceInfo* Find(const std::vector<DeviceInfo>& list, uint32_t serial) {
    auto it = std::find_if(list.begin(), list.end(), [&](const DeviceInfo& d) { return d.spec.serialNumber == serial; });
    return it == list.end() ? nullptr : &*it;
  }

  RecordingDisplay display_;
  Updater updater_{"http://127.0.0.1:1/", "/nonexistent", display_};
  std::vector<std::unique_ptr<UsbSimDevice>> sims_;
};

SimDeviceProfile Profile(uint32_t serial, uint32_t version, const std::string& name = "SimDev1") {
  SimDeviceProfile p;
  p.serial = serial;
  p.model = 13;
  p.version = version;
  p.name = name;
  return p;
}

// Packets whose payload begins with `prefix`, from `address`'s point of view (any when 0).
size_t Requests(const SimLinkDevice& device, const Bytes& prefix, uint8_t address = 0) {
  size_t n = 0;
  for (const SimLinkDevice::Received& r : device.Packets()) {
    if (address != 0 && r.wire[0] != address) continue;
    if (r.wire.size() >= 2 + prefix.size() && std::equal(prefix.begin(), prefix.end(), r.wire.begin() + 2)) ++n;
  }
  return n;
}

const Bytes kNameGet = {3, 0x60, 0x20};

}  // namespace

TEST_F(DiscoveryUsb, EachDeviceIsProbedForWhatItAnswers) {
  const uint32_t v2_12_5 = SimDeviceProfile::Version(2, 12, 5);
  Add(6, Profile(0x0000D001, v2_12_5, "Alpha"));
  UsbSimDevice& older = Add(6, Profile(0x0000D002, SimDeviceProfile::Version(2, 10, 3)));
  Add(6, Profile(0x0000D003, v2_12_5, std::string(40, 'N')));
  SimDeviceProfile refused = Profile(0x0000D004, SimDeviceProfile::Version(2, 10, 4));
  refused.nameRefused = true;
  Add(6, refused);
  SimDeviceProfile busy = Profile(0x0000D005, v2_12_5);
  busy.model = 3;
  Add(6, busy).emulated->setClaimErrno(EBUSY);
  UsbSimDevice& noVersion = Add(6, Profile(0x0000D006, v2_12_5));
  noVersion.network().AddFault({3, 0x47, 0x20}, SimFault::ErrorReply(aErrUnimplemented), true);

  LogCapture log(DEBUG_Updater);
  bool ok = false;
  std::vector<DeviceInfo> list = updater_.Discover_Devices(USB, &ok);
  EXPECT_TRUE(ok);
  ASSERT_EQ(list.size(), 6u);
  EXPECT_TRUE(display_.events.empty());

  const DeviceInfo* alpha = Find(list, 0x0000D001);
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(alpha->error, 0u);
  EXPECT_EQ(alpha->deviceName, "Alpha");
  EXPECT_EQ(alpha->build, 12345u);
  EXPECT_EQ(alpha->spec.moduleAddress, 6u);
  EXPECT_EQ(alpha->spec.routerAddress, 6u);
  EXPECT_EQ(alpha->modelName, "SwitchMini");
  EXPECT_EQ((std::vector<int>{alpha->versionMajor, alpha->versionMinor, static_cast<int>(alpha->versionPatch)}),
            (std::vector<int>{2, 12, 5}));

  const DeviceInfo* old = Find(list, 0x0000D002);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->error, 0u);
  EXPECT_EQ(old->deviceName, "");
  EXPECT_EQ(Requests(older.device, kNameGet), 0u) << "no name before 2.10.4";

  // A name that cannot be read leaves a working device working.
  for (uint32_t serial : {0x0000D003u, 0x0000D004u}) {
    const DeviceInfo* d = Find(list, serial);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->error, 0u) << std::hex << serial;
    EXPECT_EQ(d->deviceName, "") << std::hex << serial;
  }
  EXPECT_NE(log.text().find("Could not read the name of device [0000D003]"), std::string::npos) << log.text();

  const DeviceInfo* inUse = Find(list, 0x0000D005);
  ASSERT_NE(inUse, nullptr);
  EXPECT_EQ(inUse->error, static_cast<uint32_t>(aErrConnection));
  EXPECT_EQ(inUse->build, 0u);
  EXPECT_EQ(inUse->spec.moduleAddress, 0u) << "as discovery reported it";
  EXPECT_EQ(inUse->spec.model, 3u);
  EXPECT_EQ(inUse->modelName, "Unknown");
  EXPECT_EQ(inUse->versionMajor + inUse->versionMinor + inUse->versionPatch, 0u);
  EXPECT_EQ(inUse->deviceName, "");

  const DeviceInfo* versionless = Find(list, 0x0000D006);
  ASSERT_NE(versionless, nullptr);
  EXPECT_EQ(versionless->error, static_cast<uint32_t>(aErrUnimplemented));
  EXPECT_EQ(versionless->build, 12345u);

  for (const auto& sim : sims_) {
    if (sim->device.PacketCount() > 0) {
      ASSERT_TRUE(sim->device.WaitForRoutes(2, 5000));
      EXPECT_EQ(sim->device.RoutePackets().back(), (Bytes{0xAF, 1, 0}));
    }
  }
}

// The routing module at 0x04 with modules at 0x08 to 0x14, each answering differently.
TEST_F(DiscoveryUsb, TheScanKeepsTheModulesThatGiveASerialNumber) {
  SimDeviceProfile routerProfile = Profile(kRouter, SimDeviceProfile::Version(2, 12, 5));
  UsbSimDevice& router = Add(4, routerProfile);
  SimNetwork::Routing routing;
  routing.requireRouteToMe = true;
  routing.nack = {0x0A};
  routing.silent = {0x0C};
  routing.cut = {0x14};
  router.network().SetRouting(routing);
  for (uint8_t a : {0x08, 0x0A, 0x0C, 0x0E, 0x10, 0x12, 0x14}) {
    SimDeviceProfile p = Profile(0x0000A000u | a, SimDeviceProfile::Version(2, 10, 4));
    p.model = a == 0x12 ? 13 : 3;
    p.router = 4;
    p.build = 700u + a;
    ApplyProfile(router.network(), a, p);
  }
  router.network().AddFault({3, 0x49, 0x20}, SimFault::ErrorReply(aErrPermission), true, 0x0E);
  router.network().AddFault({3, 0x48, 0x20}, SimFault::ErrorReply(aErrRange), true, 0x10);
  ApplyProfile(router.network(), 0xFE, Profile(0x0000A0FE, SimDeviceProfile::Version(2, 10, 4)));

  bool ok = false;
  std::vector<DeviceInfo> list = updater_.Discover_QLNetwork_Devices(kRouter, USB, &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(display_.events.empty());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].networkAddress, 0x08);
  EXPECT_EQ(list[0].error, 0u);
  EXPECT_EQ(list[0].build, 708u);
  EXPECT_EQ(list[0].spec.type, static_cast<uint32_t>(USB));
  EXPECT_EQ(list[0].spec.serialNumber, 0x0000A008u);
  EXPECT_EQ(list[0].spec.moduleAddress, 0x08u);
  EXPECT_EQ(list[0].spec.routerAddress, 0x04u);
  EXPECT_EQ(list[0].spec.routerSerialNumber, kRouter);
  EXPECT_EQ(list[0].spec.usbId, kRouter) << "the routing module's transport part";
  EXPECT_EQ(list[1].networkAddress, 0x10);
  EXPECT_EQ(list[1].error, static_cast<uint32_t>(aErrRange)) << "a model that cannot be read is kept";
  EXPECT_EQ(list[2].networkAddress, 0x12);
  EXPECT_EQ(list[2].modelName, "SwitchMini");
  EXPECT_EQ(list[2].deviceName, "");
  EXPECT_EQ(Requests(router.device, kNameGet), 0u) << "no names behind a routing module";

  EXPECT_EQ(router.network().RouteToMeValues(), (Bytes{1, 0}));
  std::vector<std::vector<uint8_t>> probes = router.network().BusRequests();
  EXPECT_EQ(probes.size(), 125u);
  for (const Bytes& p : probes) {
    EXPECT_NE(p[2], 4) << "its own address";
    EXPECT_NE(p[2], 254);
    EXPECT_EQ(p, (Bytes{8, 0, p[2], 2, 3, 0, 0}));
  }
}

TEST_F(DiscoveryUsb, ARoutingModuleThatCannotServeGivesAnEmptyList) {
  struct Case {
    const char* name;
    int claimErrno;
    bool refuseRoute;
    uint32_t serial;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"not found", 0, false, 0x0BADBEEF, {}},
      {"in use", EBUSY, false, kRouter, {"Error 25 on connectFromSpec"}},
      {"refuses to route", 0, true, kRouter, {"Error 12 on route to me"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1/", "/nonexistent", display);
    UsbSimDevice& router = Add(4, Profile(kRouter, SimDeviceProfile::Version(2, 12, 5)));
    router.network().SetRouting({});
    ApplyProfile(router.network(), 8, Profile(0x0000A008, SimDeviceProfile::Version(2, 12, 5)));
    if (c.claimErrno != 0) router.emulated->setClaimErrno(c.claimErrno);
    if (c.refuseRoute) router.network().AddFault({3, 0x94, 0x20}, SimFault::ErrorReply(aErrPermission), true);
    bool ok = false;
    EXPECT_TRUE(updater.Discover_QLNetwork_Devices(c.serial, USB, &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(display.errors(), c.errors);
    EXPECT_TRUE(router.network().BusRequests().empty());
    if (c.refuseRoute) {
      ASSERT_TRUE(router.device.WaitForRoutes(2, 5000));
      EXPECT_EQ(router.device.RoutePackets().back(), (Bytes{0xAF, 1, 0})) << "disconnected";
    }
    usb().remove(*router.emulated);
    // A context that exists lists a removed device until it is made anew.
    Corvantis_libusb_exit();
  }
}
