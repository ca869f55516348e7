// USB links with real libusb and no emulation.
#include <gtest/gtest.h>

#include "Corvantis-C.h"
#include "ProcessCounts.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"

namespace {

TEST(UsbLinkPlain, NoSuchDeviceOnTheHost) {
  ASSERT_NE(Corvantis_libusb_context(), nullptr);
  int threads = CountThreads();
  int descriptors = CountOpenDescriptors();
  size_t registered = sRegistryCount();
  EXPECT_EQ(aLink_CreateUSB(0x1234), 0u);
  EXPECT_EQ(aLink_CreateUSB(0), 0u);
  EXPECT_EQ(sRegistryCount(), registered);
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
  Corvantis_libusb_exit();
}

}  // namespace
