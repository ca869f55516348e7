// A routing module reached over TCP/IP only is found while another device sits on USB: the
// transport is searched on TCP/IP whenever USB did not have the router.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Netns.h"
#include "RecordingDisplay.h"
#include "SimTransports.h"
#include "TcpipProbeResponder.h"
#include "Updater.h"
#include "UpgradeRigs.h"
#include "UsbEmulationTest.h"

namespace {

constexpr uint32_t kRouter = 0xD272031D;

class DiscoveryBothTransports : public UsbEmulationTest {
 protected:
  std::unique_ptr<UsbSimDevice> usbDevice_;
};

}  // namespace

TEST_F(DiscoveryBothTransports, ARouterOnTcpipIsFoundWithAnotherDeviceOnUsb) {
  RequirePrivateNetns();
  SimDeviceProfile other;
  other.serial = 0x40F5849A;
  other.model = 3;
  usbDevice_ = std::make_unique<UsbSimDevice>(usb(), 6, other);

  TcpSimDevice router(4, kRouter);
  SimDeviceProfile routerProfile;
  routerProfile.serial = kRouter;
  ApplyProfile(router.device.Network(), 4, routerProfile);
  router.device.Network().SetRouting({});
  SimDeviceProfile sub;
  sub.serial = 0x0000A008;
  sub.router = 4;
  ApplyProfile(router.device.Network(), 8, sub);

  TcpipProbeResponder responder;
  SimulatedTcpipDevice announced;
  announced.address = "127.0.0.1";
  announced.moduleAddress = 4;
  announced.tcpPort = router.listener.port();
  announced.serial = kRouter;
  responder.AddDevice(announced);
  std::string error;
  ASSERT_TRUE(responder.Start(&error)) << error;

  RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/", "/nonexistent", display);
  bool ok = false;
  std::vector<DeviceInfo> list = updater.Discover_QLNetwork_Devices(kRouter, static_cast<linkType>(0), &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(display.events.empty());
  ASSERT_EQ(list.size(), 1u);
  const linkSpec& spec = list[0].spec;
  EXPECT_EQ(spec.type, static_cast<uint32_t>(TCPIP));
  EXPECT_EQ(spec.serialNumber, 0x0000A008u);
  EXPECT_EQ(spec.routerSerialNumber, kRouter);
  EXPECT_EQ(spec.ipv4Address, TcpDeviceListener::address());
  EXPECT_EQ(spec.tcpPort, router.listener.port());
  EXPECT_EQ(list[0].networkAddress, 8);
}
