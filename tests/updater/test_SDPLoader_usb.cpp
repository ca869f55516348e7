// The boot ROM's serial download over USB HID: SDPLoader with hidapi's hidraw back end against
// the simulated ROM's emulated hidraw node.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <vector>

#include "BirdBuilder.h"
#include "Eventually.h"
#include "SDPLoader.h"
#include "SimSdpRom.h"
#include "UsbEmulationTest.h"
#include "unix_time.h"

namespace {

class SdpHid : public UsbEmulationTest {};

}  // namespace

TEST_F(SdpHid, WritesAnImageOneReportPerWrite) {
  SimSdpRom rom;
  rom.plugUsb(usb());
  EmulatedHidrawNode* node = rom.hidrawNode();
  std::vector<uint8_t> image = RandomBytes(2500, 1);
  uint32_t jumped = 0;
  rom.onJump([&](uint32_t address) { jumped = address; });
  {
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(loader.init(), 0);
    EXPECT_EQ(node->openHandles(), 1);
    EXPECT_EQ(loader.writeLoader(image, 0x20200000), 0);
    EXPECT_EQ(rom.ram(0x20200000, image.size()), image);

    std::vector<std::vector<uint8_t>> writes = node->writes();
    ASSERT_EQ(writes.size(), 5u);  // status query, write-file, three chunks
    EXPECT_EQ(writes[0], SDPLoader::_createStatusPacket());
    EXPECT_EQ(writes[1], SDPLoader::_createWriteFilePacket(0x20200000, 2500));
    EXPECT_EQ(writes[1].size(), 17u);
    const size_t sizes[] = {1025, 1025, 453};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(writes[2 + i].size(), sizes[i]);
      EXPECT_EQ(writes[2 + i][0], 2);
    }

    loader.startLoader(0x20000400);
    ASSERT_TRUE(rom.waitJump(2000));
    // The ROM leaves USB at the jump, on its own thread.
    EXPECT_TRUE(Eventually([&] { return node->unplugged() && jumped == 0x20000400; }, 2000));
  }
  EXPECT_TRUE(Eventually([&] { return node->openHandles() == 0; }, 2000));

  // Plugged in again (a reset of the board): a fresh device and node, served as before.
  rom.plugUsb(usb());
  SDPLoader again;
  ASSERT_TRUE(again.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
  ASSERT_EQ(again.init(), 0);
  EXPECT_NE(rom.hidrawNode(), node);
  EXPECT_EQ(again.writeLoader(RandomBytes(100, 2), 0x20100000), 0);
  EXPECT_EQ(rom.ram(0x20100000, 100), RandomBytes(100, 2));
}

TEST_F(SdpHid, ReportFaults) {
  struct Row {
    const char* name;
    std::function<void(SimSdpRom::Faults&)> fault;
    uint8_t result;
    uint64_t maxMs;
  };
  const Row rows[] = {
      {"report 3 padded to 65 bytes", [](auto& f) { f.padReport3 = true; }, 0, 1500},
      {"report 4 of 40 bytes", [](auto& f) { f.report4Size = 40; }, 4, 3500},
      // writes: 1 status query, 2 write-file, 3 and on data
      {"data report stalls (EPIPE)", [](auto& f) { f.failWriteOfReport = 4; f.failWriteErrno = EPIPE; }, 4, 1000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SimSdpRom rom;
    rom.configure([&](SdpRomCore::Settings&, SimSdpRom::Faults& f) { r.fault(f); });
    rom.plugUsb(usb());
    EmulatedHidrawNode* node = rom.hidrawNode();
    {
      SDPLoader loader;
      ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
      ASSERT_EQ(loader.init(), 0);
      std::vector<uint8_t> image = RandomBytes(2500, 1);
      uint64_t start = aTime_GetMonotonicMS();
      EXPECT_EQ(loader.writeLoader(image, 0x20000000), r.result);
      EXPECT_LE(aTime_GetMonotonicMS() - start, r.maxMs);
      if (r.result == 4 && r.maxMs <= 1000) {
        EXPECT_EQ(node->writes().size(), 3u);  // nothing after the failed chunk
      }
    }
    EXPECT_TRUE(Eventually([&] { return node->openHandles() == 0; }, 2000));
    rom.unplugUsb();
  }
}
