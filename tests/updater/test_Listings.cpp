#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Listings.h"
#include "RecordingDisplay.h"

namespace {

using Lines = std::vector<std::string>;

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model) {
  DeviceInfo d;
  d.spec.type = type;
  d.spec.serialNumber = serial;
  d.spec.moduleAddress = 2;
  d.spec.routerAddress = 4;
  d.spec.model = model;
  d.versionMajor = 2;
  d.versionMinor = 12;
  d.versionPatch = 5;
  d.build = 1234;
  d.deviceName = "Lab hub";
  return d;
}

}  // namespace

TEST(Listings, DeviceListFormats) {
  DeviceInfo usb = Device(USB, 0x40F5849A, 13);
  DeviceInfo busy = Device(USB, 0x0000BEEF, 4);
  busy.error = 5;
  DeviceInfo net = Device(TCPIP, 0x0000ABCD, 5);
  net.spec.ipv4Address = inet_addr("192.0.2.7");
  net.error = 5;  // not looked at for network devices
  DeviceInfo odd = Device(USB, 1, 0x10D);  // only the low byte of the model counts
  odd.spec.moduleAddress = 0x1FE;
  odd.deviceName.clear();
  DeviceInfo unknown = Device(USB, 2, 3);

  RecordingDisplay display;
  _display_device_list(display, {usb, busy, net, odd, unknown}, USB);
  EXPECT_EQ(display.infos(),
            (Lines{
                "Discovered Devices: (USB)",
                "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
                "    40F5849A  02       04      SwitchMini     2.12.5 (      1234)         Lab hub",
                "    0000BEEF  [Error (5): Device in use. Close all other Tavrin associated applications.]",
                "    0000ABCD  02       04      HubCore8       2.12.5 (      1234)        [192.0.2.7]        Lab hub",
                "    00000001  FE       04      SwitchMini     2.12.5 (      1234)         ",
                "    00000002  02       04      Unknown        2.12.5 (      1234)         Lab hub",
            }));
  EXPECT_TRUE(display.errors().empty());
}

TEST(Listings, DeviceListHeadingsByType) {
  struct Row {
    linkType type;
    const char* heading;
    bool addressColumn;
  };
  const Row rows[] = {{USB, "Discovered Devices: (USB)", false},
                      {TCPIP, "Discovered Devices: (TCPIP)", true},
                      {static_cast<linkType>(0), "Discovered Devices: (Unknown)", true},
                      {AORVEX, "Discovered Devices: (Unknown)", true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.heading);
    RecordingDisplay none;
    _display_device_list(none, {}, r.type);
    EXPECT_EQ(none.infos(), (Lines{r.heading, "    No devices found."}));
    RecordingDisplay one;
    _display_device_list(one, {Device(USB, 1, 4)}, r.type);
    ASSERT_EQ(one.infos().size(), 3u);
    EXPECT_EQ(one.infos()[1].find("[IP address]") != std::string::npos, r.addressColumn);
  }
}

TEST(Listings, BuildList) {
  RecordingDisplay display;
  _display_builds(display,
                  {{"99528558", "2.9.0"}, {"1234567890123456789", "2.10.1"}, {"7", "not-a-version"},
                   {"8", "2.10.1234567890123"}},
                  0x40F5849A);
  EXPECT_EQ(display.infos(), (Lines{
                                 "Build List for device [40F5849A]:\n",
                                 "Build          \tVersion        ",
                                 "123456789012345\t2.10.1         ",
                                 "99528558       \t2.9.0          ",
                                 "7              \tnot-a-version  ",
                                 "8              \t2.10.1234567890",
                             }));
  RecordingDisplay empty;
  _display_builds(empty, {}, 0x12);
  EXPECT_EQ(empty.infos(), Lines{"No builds found for device [00000012]"});
}

TEST(Listings, FingerprintVersionAndBanner) {
  RecordingDisplay display;
  _display_fingerprint(display, Fingerprint{{0xDEADBEEF, 0, 0x12, 0xFFFFFFFF}});
  _display_banner(display);
  EXPECT_EQ(display.infos()[0], "[ DEADBEEF 00000000 00000012 FFFFFFFF ]");
  EXPECT_EQ(display.infos()[1], "Corvantis Update and Maintenance Application");
}
