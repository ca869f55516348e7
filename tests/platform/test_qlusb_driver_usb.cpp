// The USB driver against emulated devices, through real libusb.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <numeric>
#include <vector>

#include "Corvantis-C.h"
#include "ProcessCounts.h"
#include "UsbEmulationTest.h"
#include "qlusb_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A driver record, destroyed at the end.
struct Record {
  explicit Record(int mode = qlusb_MODE_USBLIB) : d(qlusb_create_usb(mode)) {}
  ~Record() {
    if (d != nullptr) {
      qlusb_close_corvantis_device(d);
      qlusb_destroy(&d);
    }
  }
  qlusb_device* operator->() { return d; }
  qlusb_device* d;
};

Bytes sCounting(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

std::vector<size_t> sSizes(const std::vector<Bytes>& transfers) {
  std::vector<size_t> sizes;
  for (const Bytes& t : transfers) sizes.push_back(t.size());
  return sizes;
}

class QlusbDriver : public UsbEmulationTest {
 protected:
  // A family device with serial 0x0000ABCD, opened through a new record.
  EmulatedUsbDevice& openDevice(Record& record, uint16_t maxPacket = 64) {
    EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD, maxPacket));
    EXPECT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), aErrNone);
    return device;
  }
};

TEST_F(QlusbDriver, OpensClaimsAndFindsTheEndpoints) {
  Record record;
  EmulatedUsbDevice& device = openDevice(record);
  EXPECT_EQ(record->state.load(), qlusb_STATE_OPEN);
  EXPECT_STREQ(record->serial, "0000ABCD");
  EXPECT_EQ(record->inEndpoint, 0x81);
  EXPECT_EQ(record->outEndpoint, 0x02);
  EXPECT_EQ(record->inMaxPacket, 64);
  EXPECT_EQ(record->outMaxPacket, 64);
  EXPECT_EQ(device.claims(), 1);

  EXPECT_EQ(qlusb_close_corvantis_device(record.d), aErrNone);
  EXPECT_EQ(record->state.load(), qlusb_STATE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->inEndpoint, 0);
  EXPECT_EQ(device.releases(), 1);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, 1000));
}

TEST_F(QlusbDriver, WritesGoOutInChunksOfTheMaximumPacketSize) {
  struct Row {
    uint16_t maxPacket;
    size_t length;
    std::vector<size_t> chunks;
  } rows[] = {
      {512, 1000, {511, 489}},
      {64, 1000, {64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 40}},
      {512, 512, {511, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.length << " at " << row.maxPacket);
    Record record;
    EmulatedUsbDevice& device = openDevice(record, row.maxPacket);
    Bytes data = sCounting(row.length);
    EXPECT_EQ(qlusb_write_to_device(record.d, data.data(), data.size()), aErrNone);
    EXPECT_EQ(sSizes(device.outTransfers()), row.chunks);
    EXPECT_EQ(device.outBytes(), data);
    qlusb_close_corvantis_device(record.d);
    usb().remove(device);
  }
}

TEST_F(QlusbDriver, ReadsHandOutOneTransferAByteAtATime) {
  Record record;
  EmulatedUsbDevice& device = openDevice(record);
  Bytes data = sCounting(1024);
  device.queueIn(data.data(), data.size());
  Bytes got;
  uint8_t byte = 0;
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(qlusb_get_from_device(record.d, &byte), aErrNone) << i;
    got.push_back(byte);
  }
  EXPECT_EQ(got, data);
  size_t inTransfers = 0;
  for (const UsbUrbRecord& urb : device.urbs())
    if (urb.endpoint == 0x81) inTransfers++;
  EXPECT_EQ(inTransfers, 1u);
}

TEST_F(QlusbDriver, ReadTimeOutKeepsTheBytesThatCame) {
  Record record;
  EmulatedUsbDevice& device = openDevice(record);
  const uint8_t three[] = {0x11, 0x22, 0x33};
  device.queueIn(three, 3, false);  // in the transfer, but it never ends by itself
  uint8_t byte = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(qlusb_get_from_device(record.d, &byte), aErrNone);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(byte, 0x11);
  ASSERT_EQ(qlusb_get_from_device(record.d, &byte), aErrNone);
  EXPECT_EQ(byte, 0x22);
  ASSERT_EQ(qlusb_get_from_device(record.d, &byte), aErrNone);
  EXPECT_EQ(byte, 0x33);
  EXPECT_EQ(device.discards(), 1);
}

TEST_F(QlusbDriver, StallsClearTheHalt) {
  Record record;
  EmulatedUsbDevice& device = openDevice(record);
  uint8_t byte = 0;
  device.failIn(-EPIPE);
  EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrNotReady);
  EXPECT_EQ(device.clearedHalts(), Bytes{0x81});

  // A stalled chunk goes again after the halt is cleared.
  device.failOut(-EPIPE);
  Bytes data = sCounting(10);
  EXPECT_EQ(qlusb_write_to_device(record.d, data.data(), data.size()), aErrNone);
  EXPECT_EQ(device.clearedHalts(), (Bytes{0x81, 0x02}));
  EXPECT_EQ(device.outTransfers(), std::vector<Bytes>{data});
  EXPECT_EQ(record->errorRun.load(), 0);
}

TEST_F(QlusbDriver, BytesThatATimedOutChunkMovedAreNotSentAgain) {
  struct Row {
    int moved;  // of the held 64-byte chunk
    std::vector<size_t> transfers;
  } rows[] = {{-1, {64, 36}}, {20, {20, 64, 16}}, {0, {64, 36}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.moved);
    Record record;
    EmulatedUsbDevice& device = openDevice(record);
    device.holdOut(row.moved);
    Bytes data = sCounting(100);
    EXPECT_EQ(qlusb_write_to_device(record.d, data.data(), data.size()), aErrNone);
    EXPECT_EQ(sSizes(device.outTransfers()), row.transfers);
    EXPECT_EQ(device.outBytes(), data);  // every byte once, in order
    qlusb_close_corvantis_device(record.d);
    usb().remove(device);
  }
}

TEST_F(QlusbDriver, AWriteGivesUpAfterTenFailedTransfers) {
  Record record;
  EmulatedUsbDevice& device = openDevice(record);
  device.failOut(-ETIMEDOUT, 10);
  Bytes data = sCounting(10);
  EXPECT_EQ(qlusb_write_to_device(record.d, data.data(), data.size()), aErrWrite);
  EXPECT_TRUE(device.outTransfers().empty());
  EXPECT_EQ(record->state.load(), qlusb_STATE_OPEN);  // not an I/O error of the tolerance
}

// Four consecutive I/O errors pass as success; the fifth fails the record for good.
TEST_F(QlusbDriver, ErrorTolerance) {
  enum Step { kInError, kOutStallClearFails, kGoodRead };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    size_t failsAt;  // index of the step that gives aErrIO
  } rows[] = {
      {"IN URB errors", {kInError, kInError, kInError, kInError, kInError}, 4},
      {"OUT stalls whose clear fails",
       {kOutStallClearFails, kOutStallClearFails, kOutStallClearFails, kOutStallClearFails, kOutStallClearFails},
       4},
      {"a success restarts the count",
       {kInError, kInError, kInError, kGoodRead, kInError, kInError, kInError, kInError, kInError},
       8},
      {"reads and writes share it", {kInError, kOutStallClearFails, kInError, kOutStallClearFails, kInError}, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Record record;
    EmulatedUsbDevice& device = openDevice(record);
    Bytes data = sCounting(8);
    for (size_t i = 0; i < row.steps.size(); ++i) {
      SCOPED_TRACE(i);
      aErr expected = aErrNone;
      aErr got = aErrNone;
      uint8_t byte = 0;
      switch (row.steps[i]) {
        case kInError:
          device.failIn(-EPROTO);
          expected = i == row.failsAt ? aErrIO : aErrNotReady;
          got = qlusb_get_from_device(record.d, &byte);
          break;
        case kOutStallClearFails:
          device.failOut(-EPIPE);
          device.setClearHaltErrno(EPROTO);
          expected = i == row.failsAt ? aErrIO : aErrNone;
          got = qlusb_write_to_device(record.d, data.data(), data.size());
          device.setClearHaltErrno(0);
          break;
        case kGoodRead:
          device.queueIn(data.data(), 1);
          got = qlusb_get_from_device(record.d, &byte);
          break;
      }
      EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(record->state.load(), qlusb_STATE_FAILED);
    // From now on every call fails, without touching the device.
    size_t urbs = device.urbs().size();
    device.queueIn(data.data(), data.size());
    uint8_t byte = 0;
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(qlusb_write_to_device(record.d, data.data(), data.size()), aErrIO) << i;
      ASSERT_EQ(qlusb_get_from_device(record.d, &byte), aErrIO) << i;
    }
    EXPECT_EQ(device.urbs().size(), urbs);
    qlusb_close_corvantis_device(record.d);
    usb().remove(device);
  }
}

TEST_F(QlusbDriver, UnpluggedDeviceFailsTheRecordAfterFiveReads) {
  Record record;
  EmulatedUsbDevice& device = openDevice(record);
  device.unplug();
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrNotReady);
  EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrIO);
  EXPECT_EQ(record->state.load(), qlusb_STATE_FAILED);
}

TEST_F(QlusbDriver, SkipsDevicesThatAreNotOfTheFamilyOrWillNotOpen) {
  UsbDeviceConfig otherVendor = UsbDeviceConfig::Corvantis(0xABCD);
  otherVendor.vendorId = static_cast<uint16_t>(aCORVANTIS_USB_VENDOR_ID + 1);
  UsbDeviceConfig highProduct = UsbDeviceConfig::Corvantis(0xABCD);
  highProduct.productId = 0x8001;
  std::vector<EmulatedUsbDevice*> skipped = {&usb().add(otherVendor), &usb().add(highProduct),
                                             &usb().add(UsbDeviceConfig::Corvantis(0xABCD))};
  EmulatedUsbDevice& good = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  // The context lists the third device, but its node is gone before the open.
  ASSERT_NE(Corvantis_libusb_context(), nullptr);
  usb().remove(*skipped[2]);

  Record record;
  ASSERT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), aErrNone);
  EXPECT_EQ(good.claims(), 1);
  for (EmulatedUsbDevice* d : skipped) EXPECT_EQ(d->claims(), 0);
}

TEST_F(QlusbDriver, SerialStringsMatchExactly) {
  UsbDeviceConfig lower = UsbDeviceConfig::Corvantis(0);
  lower.serial = "0000abcd";
  UsbDeviceConfig none = UsbDeviceConfig::Corvantis(0);
  none.serial.reset();
  usb().add(lower);
  usb().add(none);
  usb().add(UsbDeviceConfig::Corvantis(0xABCD0));
  int descriptors = -1;
  {
    Record record;
    ASSERT_NE(Corvantis_libusb_context(), nullptr);
    descriptors = CountOpenDescriptors();
    EXPECT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), aErrNotFound);
    EXPECT_EQ(record->handle, nullptr);
    EXPECT_EQ(record->state.load(), qlusb_STATE_CREATED);
  }
  // Every device it opened was closed (umockdev closes its end of each node a moment later).
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return CountOpenDescriptors() == descriptors; }, 2000))
      << CountOpenDescriptors() << " descriptors, " << descriptors << " before";
}

TEST_F(QlusbDriver, TheFirstMatchDecidesEvenWhenItsClaimFails) {
  EmulatedUsbDevice& a = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  EmulatedUsbDevice& b = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  // Which of the two libusb lists first.
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(Corvantis_libusb_context(), &list), 2);
  int firstNumber = libusb_get_device_address(list[0]);
  libusb_free_device_list(list, 1);
  EmulatedUsbDevice& first = firstNumber == a.deviceNumber() ? a : b;
  EmulatedUsbDevice& second = &first == &a ? b : a;
  first.setClaimErrno(EBUSY);

  Record record;
  EXPECT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), aErrBusy);
  EXPECT_EQ(second.opens(), 0);
}

TEST_F(QlusbDriver, RefusedClaims) {
  struct Row {
    int err;
    aErr expected;
  } rows[] = {{EBUSY, aErrBusy}, {ENODEV, aErrBusy}, {EPERM, aErrUnknown}, {EACCES, aErrUnknown}, {EIO, aErrUnknown}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
    device.setClaimErrno(row.err);
    Record record;
    EXPECT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), row.expected);
    EXPECT_EQ(record->handle, nullptr);
    EXPECT_EQ(record->state.load(), qlusb_STATE_CLOSED);
    EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, 1000));
    usb().remove(device);
  }
}

TEST_F(QlusbDriver, EndpointsOfTheDataInterface) {
  UsbAltSettingSpec other{0x03, 0x00, 0x00, {{0x83, 0x02, 64}, {0x04, 0x02, 64}}};
  UsbAltSettingSpec interrupt = UsbDataSetting(64);
  for (auto& e : interrupt.endpoints) e.attributes = 0x03;
  UsbAltSettingSpec withIso = UsbDataSetting(64);
  withIso.endpoints.push_back({0x85, 0x01, 64});
  UsbAltSettingSpec onlyIsoIn{0xFF, 0x88, 0x10, {{0x85, 0x01, 64}, {0x02, 0x02, 64}}};
  UsbAltSettingSpec later{0xFF, 0x88, 0x10, {{0x83, 0x02, 512}, {0x04, 0x02, 512}}};
  struct Row {
    const char* name;
    std::vector<UsbInterfaceSpec> interfaces;
    aErr result;
    uint8_t interface, in, out;
    uint16_t maxPacket;
  } rows[] = {
      {"in a later alternate setting", {UsbInterfaceSpec{{other, UsbDataSetting(64)}}}, aErrNone, 0, 0x81, 0x02, 64},
      {"interrupt endpoints", {UsbInterfaceSpec{{interrupt}}}, aErrNone, 0, 0x81, 0x02, 64},
      {"isochronous ignored", {UsbInterfaceSpec{{withIso}}}, aErrNone, 0, 0x81, 0x02, 64},
      {"isochronous IN only", {UsbInterfaceSpec{{onlyIsoIn}}}, aErrConfiguration, 0, 0, 0, 0},
      {"a later match replaces", {UsbInterfaceSpec{{UsbDataSetting(64)}}, UsbInterfaceSpec{{later}}}, aErrNone, 1,
       0x83, 0x04, 512},
      {"no data interface", {UsbInterfaceSpec{{other}}}, aErrConfiguration, 0, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    UsbDeviceConfig spec = UsbDeviceConfig::Corvantis(0xABCD);
    spec.interfaces = row.interfaces;
    EmulatedUsbDevice& device = usb().add(spec);
    Record record;
    ASSERT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), row.result);
    if (row.result == aErrNone) {
      EXPECT_EQ(record->interface, row.interface);
      EXPECT_EQ(record->inEndpoint, row.in);
      EXPECT_EQ(record->outEndpoint, row.out);
      EXPECT_EQ(record->inMaxPacket, row.maxPacket);
      EXPECT_EQ(record->outMaxPacket, row.maxPacket);
    } else {
      EXPECT_EQ(record->handle, nullptr);
      EXPECT_EQ(record->state.load(), qlusb_STATE_CLOSED);
      EXPECT_EQ(device.claims(), 0);
    }
    qlusb_close_corvantis_device(record.d);
    usb().remove(device);
  }
}

TEST_F(QlusbDriver, CallsOnARecordThatIsNotOpen) {
  Record record;
  uint8_t byte = 0;
  const uint8_t data[2] = {1, 2};
  EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrNotReady);  // created
  EXPECT_EQ(qlusb_write_to_device(record.d, data, 2), aErrNotReady);
  EmulatedUsbDevice& device = openDevice(record);
  (void)device;
  ASSERT_EQ(qlusb_close_corvantis_device(record.d), aErrNone);
  EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrConnection);
  EXPECT_EQ(qlusb_write_to_device(record.d, data, 2), aErrConnection);
  EXPECT_EQ(qlusb_close_corvantis_device(record.d), aErrMode);  // no handle
}

TEST_F(QlusbDriver, KernelNodeMode) {
  EmulatedUsbNode& node = usb().addNode(0xABCD);
  Record record(qlusb_MODE_KERNEL);
  ASSERT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), aErrNone);
  EXPECT_GE(record->fd, 0);
  EXPECT_EQ(record->state.load(), qlusb_STATE_CREATED);
  uint8_t byte = 0;
  EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrNotReady);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(qlusb_wait_readable(record.d, 1000));  // bounded at 10 ms
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));  // not the 1 s
  const uint8_t sent[] = {0xAF, 0x01, 0x01};
  EXPECT_EQ(qlusb_write_to_device(record.d, sent, 3), aErrNone);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return node.received().size() == 3; }, 2000));
  EXPECT_EQ(node.received(), Bytes(sent, sent + 3));
  const uint8_t reply[] = {0x08, 0x00};
  node.queueIn(reply, 2);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return qlusb_wait_readable(record.d, 10); }, 2000));
  Bytes got;
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor(
      [&] {
        if (qlusb_get_from_device(record.d, &byte) == aErrNone) got.push_back(byte);
        return got.size() == 2;
      },
      2000));
  EXPECT_EQ(got, Bytes(reply, reply + 2));

  // The libusb variants refuse a node-mode record, and the other way round.
  EXPECT_EQ(qlusb_get_from_USBlib_device(record.d, &byte), aErrMode);
  EXPECT_EQ(qlusb_write_to_USBlib_device(record.d, sent, 3), aErrMode);
  EXPECT_EQ(qlusb_open_corvantis_USBlib_device(record.d, "0000ABCD"), aErrMode);
  EXPECT_EQ(qlusb_close_corvantis_USBlib_device(record.d), aErrMode);
  Record usblib;
  EXPECT_FALSE(qlusb_wait_readable(usblib.d, 10));
  EXPECT_EQ(qlusb_get_from_kernel_device(usblib.d, &byte), aErrMode);
  EXPECT_EQ(qlusb_write_to_kernel_device(usblib.d, sent, 3), aErrMode);
  EXPECT_EQ(qlusb_open_corvantis_kernel_device(usblib.d, "0000ABCD"), aErrMode);
  EXPECT_EQ(qlusb_close_corvantis_kernel_device(usblib.d), aErrMode);

  EXPECT_EQ(qlusb_close_corvantis_device(record.d), aErrNone);
  EXPECT_EQ(record->fd, -1);
  EXPECT_EQ(record->state.load(), qlusb_STATE_CLOSED);
  EXPECT_EQ(qlusb_get_from_device(record.d, &byte), aErrMode);
  EXPECT_EQ(qlusb_close_corvantis_device(record.d), aErrNone);  // nothing left to close
}

TEST_F(QlusbDriver, KernelDriverInstalledWhenItsNodeExists) {
  EXPECT_FALSE(qlusb_is_kernel_driver_installed(0xABCD));
  usb().addNode(0xABCD);
  EXPECT_TRUE(qlusb_is_kernel_driver_installed(0xABCD));
  EXPECT_FALSE(qlusb_is_kernel_driver_installed(0xABCE));
  Record record(qlusb_MODE_KERNEL);
  EXPECT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCE"), aErrIO);  // no such node
}

TEST_F(QlusbDriver, ExitWaitsForOpenRecordsAndANewContextEnumeratesAfresh) {
  EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  Record record;
  ASSERT_EQ(qlusb_open_corvantis_device(record.d, "0000ABCD"), aErrNone);
  libusb_context* context = Corvantis_libusb_context();
  Corvantis_libusb_exit();  // a record holds a handle: nothing is released
  EXPECT_EQ(Corvantis_libusb_context(), context);
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(qlusb_write_to_device(record.d, data, 4), aErrNone);
  EXPECT_EQ(device.outBytes(), Bytes(data, data + 4));
  qlusb_close_corvantis_device(record.d);
  qlusb_destroy(&record.d);

  // The device comes back at a new number; only a new context sees it there.
  usb().remove(device);
  EmulatedUsbDevice& back = usb().readd(device);
  Corvantis_libusb_exit();
  Record again;
  ASSERT_EQ(qlusb_open_corvantis_device(again.d, "0000ABCD"), aErrNone);
  EXPECT_EQ(back.claims(), 1);
}

}  // namespace
