// What the USB emulation of the test kit gives real libusb: the behaviour later USB tests rely on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UsbDeviceEmulation.h"
#include "aUSBVendor.h"

namespace {

struct ContextDeleter {
  void operator()(libusb_context* c) const { libusb_exit(c); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;

Context sNewContext() {
  libusb_context* c = nullptr;
  EXPECT_EQ(libusb_init(&c), 0);
  return Context(c);
}

// The devices a context lists, as (vendor, product, device number).
struct Listed {
  uint16_t vendor, product;
  int number;
};

std::vector<Listed> sList(libusb_context* c) {
  std::vector<Listed> out;
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(c, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(list[i], &d) == 0)
      out.push_back({d.idVendor, d.idProduct, libusb_get_device_address(list[i])});
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  return out;
}

// Opens the listed device with that device number; NULL when it is not listed or will not open.
libusb_device_handle* sOpen(libusb_context* c, int number, int* openResult = nullptr) {
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(c, &list);
  libusb_device_handle* handle = nullptr;
  for (ssize_t i = 0; i < n; ++i) {
    if (libusb_get_device_address(list[i]) != number) continue;
    int r = libusb_open(list[i], &handle);
    if (openResult) *openResult = r;
    if (r != 0) handle = nullptr;
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  return handle;
}

std::string sSerial(libusb_device_handle* h) {
  libusb_device_descriptor d;
  libusb_get_device_descriptor(libusb_get_device(h), &d);
  unsigned char text[256] = {0};
  int r = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof(text));
  return r < 0 ? std::string("error ") + libusb_error_name(r) : std::string(reinterpret_cast<char*>(text));
}

class UsbEmulation : public ::testing::Test {
 protected:
  void SetUp() override {
    usb_ = std::make_unique<UsbDeviceEmulation>();
    if (!usb_->active()) GTEST_SKIP() << "USB tests need umockdev-wrapper (ctest runs them under it)";
  }
  void TearDown() override {
    if (handle_) {
      libusb_release_interface(handle_, 0);
      libusb_close(handle_);
    }
    context_.reset();
    usb_.reset();
  }
  // A context, and the handle of `device` opened and its interface 0 claimed.
  void openClaimed(EmulatedUsbDevice& device) {
    context_ = sNewContext();
    handle_ = sOpen(context_.get(), device.deviceNumber());
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
  }
  int bulk(uint8_t endpoint, std::vector<uint8_t>& data, int timeoutMs, int* transferred) {
    return libusb_bulk_transfer(handle_, endpoint, data.data(), static_cast<int>(data.size()), transferred,
                                timeoutMs);
  }

  std::unique_ptr<UsbDeviceEmulation> usb_;
  Context context_;
  libusb_device_handle* handle_ = nullptr;
};

TEST_F(UsbEmulation, EnumeratesReadsSerialClaimsAndMovesBytesBothWaysAtOnce) {
  UsbDeviceConfig spec = UsbDeviceConfig::Corvantis(0xABCD);
  spec.productId = 0x0213;
  EmulatedUsbDevice& device = usb_->add(spec);
  device.setDevice(std::make_shared<UsbEchoDevice>());
  openClaimed(device);

  auto listed = sList(context_.get());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].vendor, aCORVANTIS_USB_VENDOR_ID);
  EXPECT_EQ(listed[0].product, 0x0213);
  EXPECT_EQ(sSerial(handle_), "0000ABCD");
  EXPECT_EQ(device.claims(), 1);

  // A sync IN waits on one thread while OUT transfers go through on another, same handle.
  std::atomic<int> inResult{1};
  std::vector<uint8_t> in(1024);
  int inCount = 0;
  std::thread reader([&] { inResult = bulk(0x81, in, 2000, &inCount); });
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.pendingIn() == 1; }, 2000)) << "the IN waits";
  std::vector<uint8_t> out = {1, 2, 3, 4, 5};
  int outCount = 0;
  EXPECT_EQ(bulk(0x02, out, 500, &outCount), 0);
  EXPECT_EQ(outCount, 5);
  reader.join();
  EXPECT_EQ(inResult, 0);
  ASSERT_EQ(inCount, 5);  // the echo
  EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 5), out);
  EXPECT_EQ(device.outTransfers(), std::vector<std::vector<uint8_t>>{out});
}

TEST_F(UsbEmulation, DescriptorsAsLibusbParsesThem) {
  UsbDeviceConfig spec;
  spec.vendorId = 0x1234;
  spec.productId = 0x8001;
  UsbAltSettingSpec plain{0x03, 0x00, 0x00, {{0x83, 0x03, 8}}};
  UsbAltSettingSpec data = UsbDataSetting(512);
  data.endpoints.push_back({0x85, 0x01, 256});  // isochronous
  spec.interfaces = {UsbInterfaceSpec{{plain}}, UsbInterfaceSpec{{plain, data}}};
  EmulatedUsbDevice& device = usb_->add(spec);
  context_ = sNewContext();

  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(context_.get(), &list), 1);
  libusb_device_descriptor d;
  ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
  EXPECT_EQ(d.idVendor, 0x1234);
  EXPECT_EQ(d.idProduct, 0x8001);
  EXPECT_EQ(d.iSerialNumber, 0);  // no serial string
  EXPECT_EQ(libusb_get_device_address(list[0]), device.deviceNumber());
  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_config_descriptor(list[0], 0, &config), 0);
  ASSERT_EQ(config->bNumInterfaces, 2);
  ASSERT_EQ(config->interface[1].num_altsetting, 2);
  const libusb_interface_descriptor& alt = config->interface[1].altsetting[1];
  EXPECT_EQ(alt.bInterfaceNumber, 1);
  EXPECT_EQ(alt.bAlternateSetting, 1);
  EXPECT_EQ(alt.bInterfaceClass, 0xFF);
  EXPECT_EQ(alt.bInterfaceSubClass, 0x88);
  EXPECT_EQ(alt.bInterfaceProtocol, 0x10);
  ASSERT_EQ(alt.bNumEndpoints, 3);
  EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
  EXPECT_EQ(alt.endpoint[2].bmAttributes, 0x01);
  libusb_free_config_descriptor(config);
  EXPECT_EQ(libusb_get_max_packet_size(list[0], 0x81), 512);
  EXPECT_EQ(libusb_get_max_packet_size(list[0], 0x83), 8);
  libusb_free_device_list(list, 1);
}

TEST_F(UsbEmulation, TimeOutsReturnWhatMoved) {
  EmulatedUsbDevice& device = usb_->add(UsbDeviceConfig::Corvantis(1));
  openClaimed(device);
  int count = -1;

  // An IN URB with nothing to take is held until libusb discards it on its time-out.
  std::vector<uint8_t> in(64);
  EXPECT_EQ(bulk(0x81, in, 100, &count), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(count, 0);
  // Bytes that went into the URB without ending it come back with the time-out.
  uint8_t three[] = {7, 8, 9};
  device.queueIn(three, 3, false);
  EXPECT_EQ(bulk(0x81, in, 100, &count), LIBUSB_ERROR_TIMEOUT);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(in[2], 9);

  // An OUT URB held until discard and completed with n bytes.
  std::vector<uint8_t> out(40, 0x5A);
  device.holdOut(24);
  EXPECT_EQ(bulk(0x02, out, 100, &count), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(count, 24);
  EXPECT_EQ(device.discards(), 3);
  ASSERT_EQ(device.outTransfers().size(), 1u);
  EXPECT_EQ(device.outTransfers()[0].size(), 24u);
}

TEST_F(UsbEmulation, InjectedStatusesAndClearHalt) {
  EmulatedUsbDevice& device = usb_->add(UsbDeviceConfig::Corvantis(1));
  openClaimed(device);
  std::vector<uint8_t> buffer(64);
  int count = -1;
  struct Row {
    bool in;
    int status;
    int expected;
  } rows[] = {
      {true, -EPIPE, LIBUSB_ERROR_PIPE}, {true, -EPROTO, LIBUSB_ERROR_IO},
      {false, -EPIPE, LIBUSB_ERROR_PIPE}, {false, -EPROTO, LIBUSB_ERROR_IO},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.in ? "IN " : "OUT ") << row.status);
    if (row.in) device.failIn(row.status);
    else device.failOut(row.status);
    EXPECT_EQ(bulk(row.in ? 0x81 : 0x02, buffer, 500, &count), row.expected);
    EXPECT_EQ(count, 0);
  }
  EXPECT_EQ(libusb_clear_halt(handle_, 0x81), 0);
  device.setClearHaltErrno(EPROTO);
  EXPECT_NE(libusb_clear_halt(handle_, 0x02), 0);
  EXPECT_EQ(device.clearedHalts(), (std::vector<uint8_t>{0x81, 0x02}));
  EXPECT_TRUE(device.outTransfers().empty());
}

TEST_F(UsbEmulation, RefusedClaims) {
  EmulatedUsbDevice& device = usb_->add(UsbDeviceConfig::Corvantis(1));
  context_ = sNewContext();
  handle_ = sOpen(context_.get(), device.deviceNumber());
  ASSERT_NE(handle_, nullptr);
  // Linux libusb never answers ACCESS for a claim.
  struct Row {
    int err;
    int expected;
  } rows[] = {{EBUSY, LIBUSB_ERROR_BUSY},
              {ENODEV, LIBUSB_ERROR_NO_DEVICE},
              {EACCES, LIBUSB_ERROR_OTHER},
              {EPERM, LIBUSB_ERROR_OTHER},
              {EINVAL, LIBUSB_ERROR_OTHER}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    device.setClaimErrno(row.err);
    EXPECT_EQ(libusb_claim_interface(handle_, 0), row.expected);
  }
  EXPECT_EQ(device.claims(), 0);
}

TEST_F(UsbEmulation, UnplugFailsEverythingUntilReplug) {
  EmulatedUsbDevice& device = usb_->add(UsbDeviceConfig::Corvantis(0xABCD));
  openClaimed(device);
  std::vector<uint8_t> in(64), out(8, 1);
  int count = -1;

  // A pending IN fails as soon as the device goes.
  std::atomic<int> pending{1};
  std::thread reader([&] {
    int n = 0;
    pending = bulk(0x81, in, 3000, &n);
  });
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.pendingIn() == 1; }, 3000)) << "the IN waits";
  device.unplug();
  reader.join();
  EXPECT_EQ(pending, LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(bulk(0x81, in, 100, &count), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(bulk(0x02, out, 100, &count), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(sSerial(handle_), "error LIBUSB_ERROR_NO_DEVICE");
  EXPECT_EQ(libusb_clear_halt(handle_, 0x81), LIBUSB_ERROR_NO_DEVICE);

  device.replug();
  EXPECT_EQ(bulk(0x02, out, 100, &count), 0);
  EXPECT_EQ(sSerial(handle_), "0000ABCD");
}

TEST_F(UsbEmulation, RemovalReachesOnlyNewContexts) {
  EmulatedUsbDevice& first = usb_->add(UsbDeviceConfig::Corvantis(0xDEADDEAD));
  openClaimed(first);
  int number = first.deviceNumber();
  usb_->remove(first);

  // The context that exists keeps its list and its handle; the handle sees a device that is gone.
  ASSERT_EQ(sList(context_.get()).size(), 1u);
  std::vector<uint8_t> out(8, 1);
  int count = -1;
  EXPECT_EQ(bulk(0x02, out, 100, &count), LIBUSB_ERROR_NO_DEVICE);
  int opened = 0;
  libusb_device_handle* again = sOpen(context_.get(), number, &opened);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(opened, LIBUSB_ERROR_NO_DEVICE);

  // A new context enumerates afresh and finds the device back at a new number.
  EmulatedUsbDevice& back = usb_->readd(first);
  EXPECT_NE(back.deviceNumber(), number);
  Context fresh = sNewContext();
  auto listed = sList(fresh.get());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].number, back.deviceNumber());
  libusb_device_handle* h = sOpen(fresh.get(), back.deviceNumber());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(sSerial(h), "DEADDEAD");
  libusb_close(h);
}

TEST_F(UsbEmulation, OpenHandlesAreCounted) {
  EmulatedUsbDevice& device = usb_->add(UsbDeviceConfig::Corvantis(1));
  context_ = sNewContext();
  libusb_device_handle* h = sOpen(context_.get(), device.deviceNumber());
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 1; }, 1000));
  libusb_close(h);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, 1000));
  EXPECT_EQ(device.opens(), 1);
}

TEST_F(UsbEmulation, KernelNodeIsAPseudoTerminal) {
  EmulatedUsbNode& node = usb_->addNode(0xABCD);
  node.setDevice(std::make_shared<UsbEchoDevice>());
  EXPECT_EQ(node.path(), "/dev/corvantis.0000ABCD");
  struct stat st;
  ASSERT_EQ(stat(node.path().c_str(), &st), 0);
  EXPECT_FALSE(S_ISDIR(st.st_mode));

  int fd = open(node.path().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  uint8_t byte = 0;
  EXPECT_EQ(read(fd, &byte, 1), 0);  // raw, VMIN 0: nothing waiting reads as 0 bytes
  const uint8_t sent[] = {0xAD, 0x00, 0x0A, 0xFF};
  ASSERT_EQ(write(fd, sent, sizeof(sent)), 4);
  std::vector<uint8_t> back;
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor(
      [&] {
        if (read(fd, &byte, 1) == 1) back.push_back(byte);
        return back.size() == sizeof(sent);
      },
      2000));
  EXPECT_EQ(back, std::vector<uint8_t>(sent, sent + sizeof(sent)));  // bytes pass unchanged
  EXPECT_EQ(node.received(), back);
  close(fd);
}

}  // namespace
