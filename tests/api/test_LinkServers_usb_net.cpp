// Links with the default network configuration over USB: real libusb against an emulated device
// of the family, in a namespace with only lo where the servers announce themselves. A device
// taken by one Link is reached through its server, and a server that is not there through the
// device itself.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "Eventually.h"
#include "LinkImpl.h"
#include "Netns.h"
#include "PacketHelpers.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "SimLinkUsbSide.h"
#include "UsbEmulationTest.h"
#include "aLinkManagerInternal.h"

using namespace Tavrin::Corvantis;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBound = 5000;  // ms
constexpr uint32_t kSerial = 0x5E12AB01;

linkSpec UsbSpec() {
  linkSpec spec{};
  spec.type = USB;
  spec.serialNumber = kSerial;
  spec.usbId = kSerial;
  return spec;
}

class LinkServersUsb : public UsbEmulationTest {
 protected:
  void SetUp() override {
    UsbEmulationTest::SetUp();
    if (IsSkipped()) return;
    RequirePrivateNetns();
    StartMessageLibrary();
    SetSystemEntity(sim_, kSerial);
    device_ = &usb().add(UsbDeviceConfig::Corvantis(kSerial));
    device_->setDevice(side_);
    // The process-wide USB context and its event thread come with the first enumeration.
    DiscoveryRecorder first;
    ASSERT_EQ(first.Enumerate(USB, 0), 1);
    baseline_ = CountThreads();
    links_ = sRegistryCount();
  }

  SimLinkDevice sim_{8};
  std::shared_ptr<SimLinkUsbSide> side_ = std::make_shared<SimLinkUsbSide>(sim_);
  EmulatedUsbDevice* device_ = nullptr;
  int baseline_ = 0;
  size_t links_ = 0;
};

}  // namespace

TEST_F(LinkServersUsb, FallbackBetweenTheDeviceAndItsServer) {
  struct Row {
    const char* what;
    std::function<void()> run;
  };
  const Row rows[] = {
      {"1 -> 4: the served device is refused over USB, its server found",
       [&] {
         Link a(UsbSpec(), "A");
         ASSERT_EQ(a.connect(), aErrNone);
         Link b("B");
         ASSERT_EQ(b.discoverAndConnect(USB, kSerial, 0), aErrNone);
         linkSpec found{};
         b.getLinkSpecifier(&found);
         EXPECT_EQ(found.type, static_cast<uint32_t>(AORVEX_USB)) << "the server's record";
         EXPECT_EQ(device_->claims(), 1);
         EXPECT_EQ(GetUEI32(b, 8, 9), kSerial);
         EXPECT_EQ(GetUEI32(a, 8, 9), kSerial);
       }},
      {"4 -> 1: no server, so the device itself with a new server in front",
       [&] {
         Link link("Link");
         ASSERT_EQ(link.discoverAndConnect(AORVEX, kSerial, 0), aErrNone);
         linkSpec found{};
         link.getLinkSpecifier(&found);
         EXPECT_EQ(found.type, static_cast<uint32_t>(USB));
         aOrvexConfig config;
         link.getConfig(&config);
         EXPECT_NE(config.port, 0) << "a server runs";
         LinkPin client(heldLinkRef(link));
         ASSERT_NE(client.entry(), nullptr);
         EXPECT_EQ(client.entry()->type, static_cast<uint32_t>(AORVEX));
         EXPECT_EQ(GetUEI32(link, 8, 9), kSerial);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    size_t routeOffs = RouteSwitches(sim_, false);
    row.run();
    EXPECT_TRUE(Eventually([&] { return RouteSwitches(sim_, false) > routeOffs; }, kBound));
    EXPECT_EQ(RouteSwitches(sim_, false), routeOffs + 1) << "the device's link went once";
    EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device_->openHandles() == 0; }, kBound));
    EXPECT_TRUE(Eventually([&] { return CountThreads() == baseline_; }, kBound)) << "threads " << CountThreads() << " of " << baseline_;
    EXPECT_EQ(sRegistryCount(), links_);
  }
}
