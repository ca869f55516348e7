// Modules and Links over USB: real libusb against an emulated device of the family with the
// simulated device behind it (one device per case).
#include <gtest/gtest.h>

#include <memory>

#include "Corvantis-C.h"
#include "DeviceRigs.h"
#include "LinkImpl.h"
#include "PacketHelpers.h"
#include "SimLinkUsbSide.h"
#include "UsbEmulationTest.h"
#include "unix_time.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr int kBound = 5000;
constexpr uint32_t kSerial = 0x0000ABCD;

class ModuleUsb : public UsbEmulationTest {
 protected:
  void SetUp() override {
    UsbEmulationTest::SetUp();
    if (IsSkipped()) return;
    sim_.Network().SetBuild(6, 12345);
    device_ = &usb().add(UsbDeviceConfig::Corvantis(kSerial));
    device_->setDevice(side_);
  }

  SimLinkDevice sim_{6};
  std::shared_ptr<SimLinkUsbSide> side_ = std::make_shared<SimLinkUsbSide>(sim_);
  EmulatedUsbDevice* device_ = nullptr;
};

}  // namespace

TEST_F(ModuleUsb, DiscoversConnectsAndQueries) {
  {
    Module module(0, true, 0);
    module.setConfig(DirectConfig());
    uint64_t start = aTime_GetMonotonicMS();
    ASSERT_EQ(module.discoverAndConnect(USB, kSerial), aErrNone);
    EXPECT_GE(aTime_GetMonotonicMS() - start, 900u) << "after the handshake";
    EXPECT_GE(sim_.SyncCount(), 2u);
    EXPECT_EQ(module.getModuleAddress(), 6);
    ExpectQueriesAndReconnect(module, sim_);
  }
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device_->openHandles() == 0; }, kBound));
}

TEST_F(ModuleUsb, TwoLinksShareOneClaimUntilTheLastGoes) {
  linkSpec spec{};
  spec.type = USB;
  spec.serialNumber = kSerial;
  spec.usbId = kSerial;
  auto first = std::make_unique<Link>(spec, "first");
  auto second = std::make_unique<Link>(spec, "second");
  first->setConfig(DirectConfig());
  second->setConfig(DirectConfig());
  ASSERT_EQ(first->connect(), aErrNone);
  ASSERT_EQ(second->connect(), aErrNone);
  EXPECT_EQ(heldLinkRef(*first), heldLinkRef(*second));
  EXPECT_EQ(device_->claims(), 1);
  EXPECT_EQ(device_->opens(), 1);

  first.reset();
  EXPECT_TRUE(EchoesThrough(*second, 6, 1));
  EXPECT_EQ(device_->releases(), 0);
  second.reset();
  ASSERT_TRUE(sim_.WaitForRoutes(2, kBound));
  EXPECT_EQ(sim_.RoutePackets().back(), HexBytes("AF 01 00"));
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device_->releases() == 1; }, kBound)) << "released";
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device_->openHandles() == 0; }, kBound)) << "node closed";
}
