// The USB driver and the shared context with real libusb and no emulation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Corvantis-C.h"
#include "qlusb_driver.h"

namespace {

TEST(QlusbDriverPlain, NoSuchDeviceOnTheHost) {
  qlusb_device* record = qlusb_create_usb(qlusb_MODE_USBLIB);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->state.load(), qlusb_STATE_CREATED);
  EXPECT_EQ(record->rxCursor, record->rx);
  EXPECT_EQ(qlusb_open_corvantis_device(record, "00001234"), aErrNotFound);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(qlusb_destroy(&record), aErrNone);
  EXPECT_EQ(record, nullptr);
  EXPECT_FALSE(qlusb_is_kernel_driver_installed(0x1234));
  Corvantis_libusb_exit();
}

TEST(QlusbDriverPlain, BadArguments) {
  qlusb_device* none = nullptr;
  EXPECT_EQ(qlusb_destroy(&none), aErrParam);
  EXPECT_EQ(qlusb_destroy(nullptr), aErrParam);
  uint8_t byte = 0;
  EXPECT_EQ(qlusb_get_from_device(nullptr, &byte), aErrParam);
  EXPECT_EQ(qlusb_write_to_device(nullptr, &byte, 1), aErrParam);
  EXPECT_EQ(qlusb_open_corvantis_device(nullptr, "00001234"), aErrParam);
  EXPECT_EQ(qlusb_close_corvantis_device(nullptr), aErrParam);
  EXPECT_FALSE(is_corvantis_device(nullptr));

  qlusb_device* record = qlusb_create_usb(qlusb_MODE_KERNEL);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(qlusb_get_from_device(record, &byte), aErrMode);  // node not open
  EXPECT_EQ(qlusb_write_to_device(record, &byte, 1), aErrMode);
  EXPECT_EQ(qlusb_close_corvantis_device(record), aErrNone);
  qlusb_destroy(&record);
}

// With standard input closed a node can be opened as descriptor 0, which must count as open.
TEST(QlusbDriverPlain, NodeOnDescriptorZeroCountsAsOpen) {
  int savedInput = dup(0);  // -1: standard input is closed already
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(dup2(pair[0], 0), 0);
  close(pair[0]);
  qlusb_device* record = qlusb_create_usb(qlusb_MODE_KERNEL);
  ASSERT_NE(record, nullptr);
  record->fd = 0;  // as an open of the node would leave it

  const uint8_t sent[] = {0xAD, 0x00};
  EXPECT_EQ(qlusb_write_to_device(record, sent, 2), aErrNone);
  uint8_t got[2] = {0, 0};
  EXPECT_EQ(read(pair[1], got, 2), 2);
  EXPECT_EQ(got[1], 0x00);
  ASSERT_EQ(write(pair[1], "\x08", 1), 1);
  uint8_t byte = 0;
  EXPECT_EQ(qlusb_get_from_device(record, &byte), aErrNone);
  EXPECT_EQ(byte, 0x08);
  EXPECT_EQ(qlusb_close_corvantis_device(record), aErrNone);
  EXPECT_EQ(record->fd, -1);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);  // closed, not left open as "none"
  qlusb_destroy(&record);
  close(pair[1]);
  if (savedInput >= 0) {
    dup2(savedInput, 0);
    close(savedInput);
  }
}

// Bytes of the last IN transfer are still delivered after the record failed; the calls after
// them must fail all the same, not be taken for the first errors of a new run.
TEST(QlusbDriverPlain, FailedRecordFailsEveryCallAfterBufferedBytes) {
  qlusb_device* record = qlusb_create_usb(qlusb_MODE_USBLIB);
  ASSERT_NE(record, nullptr);
  record->state.store(qlusb_STATE_FAILED);
  record->errorRun.store(5);
  record->rx[0] = 0x08;
  record->rx[1] = 0x00;
  record->rxCount = 2;

  uint8_t byte = 0xFF;
  EXPECT_EQ(qlusb_get_from_device(record, &byte), aErrNone);
  EXPECT_EQ(byte, 0x08);
  EXPECT_EQ(qlusb_get_from_device(record, &byte), aErrNone);
  EXPECT_EQ(byte, 0x00);
  const uint8_t sent[] = {0x08, 0x00};
  for (int call = 0; call < 5; ++call) {
    EXPECT_EQ(qlusb_write_to_device(record, sent, sizeof sent), aErrIO) << "write " << call;
    EXPECT_EQ(qlusb_get_from_device(record, &byte), aErrIO) << "read " << call;
  }
  EXPECT_EQ(record->state.load(), qlusb_STATE_FAILED);
  qlusb_destroy(&record);
  Corvantis_libusb_exit();
}

TEST(CorvantisContext, MadeOnFirstUseAndAfterEachExit) {
  libusb_context* first = Corvantis_libusb_context();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Corvantis_libusb_context(), first);
  EXPECT_EQ(Corvantis_libusb_init(), first);
  Corvantis_libusb_exit();
  Corvantis_libusb_exit();  // nothing left to release
  EXPECT_NE(Corvantis_libusb_context(), nullptr);
  Corvantis_libusb_exit();
}

}  // namespace
