#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "UsbDeviceEmulation.h"

// Base of tests that run the library's USB code against emulated devices. Each test gets a
// fresh testbed; it is skipped, with its reason, when the process does not run under
// umockdev-wrapper. At the end the process-wide libusb context is released, so that the next
// test's context enumerates its own testbed. Close every USB stream before the test ends.
class UsbEmulationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  UsbDeviceEmulation& usb() { return *usb_; }

 private:
  std::unique_ptr<UsbDeviceEmulation> usb_;
};
