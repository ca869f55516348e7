// The serial-number string of a USB device, read as its serial number.
#include <gtest/gtest.h>

#include <string>

#include "aDiscoveryUSB.h"

TEST(aDiscoveryParseUSBSerialNumber, TakesExactlyEightHexadecimalDigits) {
  struct Case {
    std::string text;
    bool taken;
    uint32_t serial;
  };
  const Case cases[] = {
      {"0000ABCD", true, 0x0000ABCD}, {"1234abcd", true, 0x1234ABCD}, {"FFFFFFFF", true, 0xFFFFFFFF},
      {"00000000", true, 0},          {"aBcDeF09", true, 0xABCDEF09},
      {"0x12ABCD", false, 0},  // a lenient parse would take a prefix or stop early
      {" 1234ABC", false, 0},         {"+1234567", false, 0},          {"-1234567", false, 0},
      {"0000ABCG", false, 0},         {"0000ABC ", false, 0},          {std::string("0000\0ABC", 8), false, 0},
      {"0000003", false, 0},          {"000000004", false, 0},         {"", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t serial = 0x5EED5EED;
    EXPECT_EQ(aDiscovery_ParseUSBSerialNumber(c.text.data(), static_cast<int>(c.text.size()), &serial), c.taken)
        << '"' << c.text << '"';
    EXPECT_EQ(serial, c.taken ? c.serial : 0x5EED5EEDu) << '"' << c.text << '"';
  }
}

TEST(aDiscoveryParseUSBSerialNumber, ALibusbErrorIsNoSerial) {
  uint32_t serial = 0;
  EXPECT_FALSE(aDiscovery_ParseUSBSerialNumber("0000ABCD", -9, &serial));  // LIBUSB_ERROR_PIPE
  EXPECT_FALSE(aDiscovery_ParseUSBSerialNumber(nullptr, 8, &serial));
}
