#include "UsbEmulationTest.h"

#include "Corvantis-C.h"

void UsbEmulationTest::SetUp() {
  usb_ = std::make_unique<UsbDeviceEmulation>();
  if (!usb_->active()) GTEST_SKIP() << "USB tests need umockdev-wrapper (ctest runs them under it)";
}

void UsbEmulationTest::TearDown() {
  Corvantis_libusb_exit();
  usb_.reset();
}
