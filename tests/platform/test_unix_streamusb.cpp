// The USB stream kind with real libusb and no emulation.
#include <gtest/gtest.h>

#include "Corvantis-C.h"
#include "unix_streamusb.h"

namespace {

TEST(USBStreamPlain, NoSuchDeviceOnTheHost) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x1234, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
  Corvantis_libusb_exit();
}

}  // namespace
