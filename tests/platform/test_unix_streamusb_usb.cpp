// The USB stream kind over emulated devices and kernel nodes, through real libusb.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "Corvantis-C.h"
#include "ProcessCounts.h"
#include "UsbEmulationTest.h"
#include "unix_streamusb.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Descriptors of this process open on a pseudo-terminal (the emulated kernel nodes among them).
std::vector<int> sTerminalDescriptors() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  char target[PATH_MAX];
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("/dev/pts/", 0) == 0) fds.push_back(atoi(e->d_name));
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

// The descriptor in `after` that is not in `before`; -1 when there is none.
int sNewDescriptor(const std::vector<int>& before, const std::vector<int>& after) {
  for (int fd : after)
    if (std::find(before.begin(), before.end(), fd) == before.end()) return fd;
  return -1;
}

class USBStream : public UsbEmulationTest {
 protected:
  void TearDown() override {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
    UsbEmulationTest::TearDown();
  }
  aStream* stream_ = nullptr;
};

TEST_F(USBStream, MovesBytesThroughLibusb) {
  EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  device.setDevice(std::make_shared<UsbEchoDevice>());
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream_), aErrNone);
  ASSERT_NE(stream_, nullptr);
  EXPECT_EQ(device.claims(), 1);

  const uint8_t request[] = {0x08, 0x03, 0x11, 0x22, 0x33};
  ASSERT_EQ(aStream_Write(stream_, request, sizeof(request)), aErrNone);
  uint8_t reply[5] = {0};
  ASSERT_EQ(aStream_Read(stream_, reply, 5), aErrNone);
  EXPECT_EQ(Bytes(reply, reply + 5), Bytes(request, request + 5));
  uint8_t one = 0x5A;
  ASSERT_EQ(aStream_Write(stream_, &one, 1), aErrNone);  // through put
  ASSERT_EQ(aStream_Read(stream_, &one, 1), aErrNone);
  EXPECT_EQ(one, 0x5A);

  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(device.releases(), 1);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return device.openHandles() == 0; }, 1000));
}

TEST_F(USBStream, TheKernelNodeIsUsedWhenItExists) {
  EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  EmulatedUsbNode& node = usb().addNode(0xABCD);
  std::vector<int> before = sTerminalDescriptors();
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream_), aErrNone);
  EXPECT_NE(sNewDescriptor(before, sTerminalDescriptors()), -1);
  EXPECT_EQ(device.opens(), 0);  // libusb could reach it, but the node wins

  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  const uint8_t sent[] = {0xAF, 0x01, 0x01};
  ASSERT_EQ(aStream_Write(stream_, sent, 3), aErrNone);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return node.received().size() == 3; }, 2000));
  EXPECT_EQ(node.received(), Bytes(sent, sent + 3));
  node.queueIn("\x08\x00", 2);
  Bytes got;
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor(
      [&] {
        if (aStream_Read(stream_, &byte, 1) == aErrNone) got.push_back(byte);
        return got.size() == 2;
      },
      2000));
  EXPECT_EQ(got, (Bytes{0x08, 0x00}));
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(sTerminalDescriptors(), before);  // the node is closed
}

// Node reads never wait, so the stream carries a wait for the link's reader; a libusb get
// waits by itself and the stream has none.
TEST_F(USBStream, OnlyTheNodeStreamWaitsUntilReadable) {
  EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  device.setDevice(std::make_shared<UsbEchoDevice>());
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream_), aErrNone);
  EXPECT_EQ(stream_->wait, nullptr);
  EXPECT_EQ(aStream_WaitReadable(stream_, 10), aErrNone);
  ASSERT_EQ(aStream_Destroy(&stream_), aErrNone);

  EmulatedUsbNode& node = usb().addNode(0x1234);
  ASSERT_EQ(aStream_CreateUSB(0x1234, &stream_), aErrNone);
  EXPECT_NE(stream_->wait, nullptr);
  EXPECT_EQ(aStream_WaitReadable(stream_, 10), aErrTimeout);
  node.queueIn("\x08", 1);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return aStream_WaitReadable(stream_, 10) == aErrNone; }, 2000));
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x08);
}

TEST_F(USBStream, FailedCreatesLeaveNothingBehind) {
  EmulatedUsbDevice& busy = usb().add(UsbDeviceConfig::Corvantis(0x1111));
  busy.setClaimErrno(EBUSY);
  UsbDeviceConfig noData = UsbDeviceConfig::Corvantis(0x2222);
  noData.interfaces[0].settings[0].interfaceProtocol = 0x11;
  usb().add(noData);
  ASSERT_NE(Corvantis_libusb_context(), nullptr);
  int threads = CountThreads();
  int descriptors = CountOpenDescriptors();
  struct Row {
    uint32_t serial;
    aErr expected;
  } rows[] = {{0x3333, aErrNotFound}, {0x1111, aErrBusy}, {0x2222, aErrConfiguration}, {0, aErrParam}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.serial);
    aStream* stream = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateUSB(row.serial, &stream), row.expected);
    EXPECT_EQ(stream, nullptr);
  }
  EXPECT_EQ(aStream_CreateUSB(0xABCD, nullptr), aErrParam);
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_TRUE(EmulatedUsbDevice::WaitFor([&] { return CountOpenDescriptors() == descriptors; }, 2000));
}

TEST_F(USBStream, ExitWithAStreamOpenReleasesNothing) {
  EmulatedUsbDevice& device = usb().add(UsbDeviceConfig::Corvantis(0xABCD));
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream_), aErrNone);
  libusb_context* context = Corvantis_libusb_context();
  Corvantis_libusb_exit();
  EXPECT_EQ(Corvantis_libusb_context(), context);
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(stream_, data, 3), aErrNone);
  EXPECT_EQ(device.outBytes(), Bytes(data, data + 3));
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);

  // Once the stream is gone the context goes, and the next one sees the device at its new number.
  usb().remove(device);
  EmulatedUsbDevice& back = usb().readd(device);
  Corvantis_libusb_exit();
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream_), aErrNone);
  EXPECT_EQ(back.claims(), 1);
}

// A close that fails still releases the record and the state (no leak under ASan/LSan).
TEST_F(USBStream, DeleteReleasesEverythingWhenTheCloseFails) {
  usb().addNode(0xABCD);
  std::vector<int> before = sTerminalDescriptors();
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream_), aErrNone);
  int fd = sNewDescriptor(before, sTerminalDescriptors());
  ASSERT_GE(fd, 0);
  close(fd);  // from under the stream: its close now fails
  EXPECT_EQ(aStream_Destroy(&stream_), aErrCancel);
  EXPECT_EQ(stream_, nullptr);
}

}  // namespace
