// USB discovery with real libusb against a umockdev testbed of several devices.
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Corvantis-C.h"
#include "DiscoveryRecorder.h"
#include "ProcessCounts.h"
#include "RunInChild.h"
#include "UsbEmulationTest.h"
#include "aDiscovery.h"
#include "aStream.h"
#include "aUSBVendor.h"
#include "unix_streamusb.h"

namespace {

enum class Fault { None, StringStalls, Vanished };

struct Row {
  bool maker;  // the family's vendor id, else another
  uint16_t product;
  std::optional<std::string> serial;
  Fault fault = Fault::None;
};

// The bus of the device table: three devices reported, every other one passed over.
const std::vector<Row> kTable = {
    {true, 0x0213, "0000ABCD"},
    {true, 0x7FFF, "1234abcd"},
    {true, 0x0005, "00000000"},
    {true, 0x8000, "00000001"},  // product id bit 15
    {false, 0x0213, "00000002"},
    {true, 0x0001, "0000003"},
    {true, 0x0001, "000000004"},
    {true, 0x0001, "0x12ABCD"},
    {true, 0x0001, std::nullopt},  // iSerialNumber 0
    {true, 0x0001, "00000005", Fault::StringStalls},
    {true, 0x0001, "00000006", Fault::Vanished},
};

RecordBytes UsbRecord(uint32_t serial, uint8_t model) {
  return RecordBuilder().U32(0, 1).U32(4, serial).U32(20, model).U32(24, serial).bytes();
}

std::vector<RecordBytes> Sorted(const std::vector<linkSpec>& reports) {
  std::vector<RecordBytes> bytes;
  for (const linkSpec& spec : reports) bytes.push_back(BytesOf(spec));
  std::sort(bytes.begin(), bytes.end());
  return bytes;
}

class UsbDiscovery : public UsbEmulationTest {
 protected:
  void Add(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      UsbDeviceConfig spec = UsbDeviceConfig::Corvantis(0);
      spec.vendorId = row.maker ? aCORVANTIS_USB_VENDOR_ID : static_cast<uint16_t>(aCORVANTIS_USB_VENDOR_ID ^ 0x1111);
      spec.productId = row.product;
      spec.serial = row.serial;
      EmulatedUsbDevice& device = usb().add(spec);
      if (row.fault == Fault::StringStalls) device.stallStringRequests();
      if (row.fault == Fault::Vanished) usb().removeNode(device);
      devices_.push_back(&device);
    }
  }

  std::vector<EmulatedUsbDevice*> devices_;
};

}  // namespace

TEST_F(UsbDiscovery, ReportsExactlyTheDevicesWithAUsableSerial) {
  Add(kTable);
  const std::vector<RecordBytes> expected = [] {
    std::vector<RecordBytes> v = {UsbRecord(0x0000ABCD, 0x13), UsbRecord(0x1234ABCD, 0xFF), UsbRecord(0, 0x05)};
    std::sort(v.begin(), v.end());
    return v;
  }();
  // For USB the interface plays no part.
  for (uint32_t networkInterface : {0u, IPv4("127.0.0.1"), IPv4("192.0.2.1")}) {
    DiscoveryRecorder recorder;
    EXPECT_EQ(recorder.Enumerate(USB, networkInterface), 3);
    EXPECT_EQ(Sorted(recorder.reports), expected);
    EXPECT_EQ(recorder.foundOnEntry, 0);
  }
  // Discovery opens devices only to read their strings: nothing claimed, nothing left open
  // (the emulation learns of a close a moment later). A failed open of the vanished node keeps
  // a client inside the emulation itself, so that one is not counted.
  for (size_t i = 0; i < devices_.size(); ++i) {
    EmulatedUsbDevice* device = devices_[i];
    EXPECT_EQ(device->claims(), 0) << "row " << i;
    if (kTable[i].fault == Fault::Vanished) continue;
    EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device->openHandles() == 0; }, 1000))
        << "row " << i << ": " << device->openHandles() << " open";
  }
}

TEST_F(UsbDiscovery, CountsOnlyTheReportsMarkedFound) {
  Add(kTable);
  DiscoveryRecorder never;
  never.setFound = false;
  EXPECT_EQ(never.Enumerate(USB, 0), 0);
  EXPECT_EQ(never.reports.size(), 3u);

  for (bool setFound : {true, false}) {
    DiscoveryRecorder first;
    first.setFound = setFound;
    first.stopAt = 1;
    EXPECT_EQ(first.Enumerate(USB, 0), setFound ? 1 : 0);
    EXPECT_EQ(first.reports.size(), 1u);
  }
}

TEST_F(UsbDiscovery, FindModuleCopiesTheWholeRecord) {
  Add(kTable);
  linkSpec* spec = aDiscovery_FindModule(USB, 0x1234ABCD, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(BytesOf(*spec), UsbRecord(0x1234ABCD, 0xFF));
  aLinkSpec_Destroy(&spec);
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x99, 0), nullptr);
}

TEST_F(UsbDiscovery, FindFirstModulePassesOverSerialZero) {
  Add({{true, 0x0005, "00000000"}});
  EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);

  Add({{true, 0x0213, "0000ABCD"}});
  Corvantis_libusb_exit();  // the next discovery lists the bus afresh
  linkSpec* spec = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(BytesOf(*spec), UsbRecord(0x0000ABCD, 0x13));
  aLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscovery, LeavesNoDescriptorOpen) {
  // Every device here opens (a failed open of an emulated node keeps a descriptor of its own).
  Add({{true, 0x0213, "0000ABCD"}, {true, 0x0001, "0x12ABCD"}, {true, 0x0001, std::nullopt},
       {true, 0x0001, "00000005", Fault::StringStalls}});
  ASSERT_NE(Corvantis_libusb_context(), nullptr);
  int before = CountOpenDescriptors();
  DiscoveryRecorder recorder;
  EXPECT_EQ(recorder.Enumerate(USB, 0), 1);
  // The emulation closes its end of each handle a moment after libusb closes ours.
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return CountOpenDescriptors() == before; }, 1000))
      << CountOpenDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(UsbDiscovery, EmptyBusFindsNothing) {
  DiscoveryRecorder recorder;
  EXPECT_EQ(recorder.Enumerate(USB, 0), 0);
  EXPECT_TRUE(recorder.reports.empty());
}

TEST_F(UsbDiscovery, NoUsbContextFindsNothing) {
  Add({{true, 0x0213, "0000ABCD"}});
  // With no descriptor to spare the context cannot be made; libusb must then not be asked to
  // list the bus through its default context, which nothing initialised.
  int status = RunInChild(
      [] {
        if (Corvantis_libusb_context() != nullptr) return 3;
        DiscoveryRecorder recorder;
        if (recorder.Enumerate(USB, 0) != 0) return 4;
        return recorder.reports.empty() ? 0 : 5;
      },
      ChildLimits{.openFiles = 3});
  EXPECT_EQ(ChildExitCode(status), 0) << "wait status " << status;
}

TEST_F(UsbDiscovery, ADiscoveredDeviceOpensAsAUSBStream) {
  Add({{true, 0x0213, "0000ABCD"}});
  linkSpec* spec = aDiscovery_FindModule(USB, 0x0000ABCD, 0);
  ASSERT_NE(spec, nullptr);
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(spec->serialNumber, &stream), aErrNone);
  EXPECT_EQ(devices_[0]->claims(), 1);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  aLinkSpec_Destroy(&spec);
}
