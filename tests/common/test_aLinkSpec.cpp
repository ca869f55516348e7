#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "aLinkSpec.h"

namespace {

using Bytes = std::array<uint8_t, 128>;

// The expected record: runs of bytes at offsets, every other byte 00.
Bytes Expected(const std::vector<std::pair<size_t, std::vector<uint8_t>>>& runs) {
  Bytes bytes{};
  for (const auto& [offset, run] : runs) memcpy(bytes.data() + offset, run.data(), run.size());
  return bytes;
}

Bytes Raw(const linkSpec* spec) {
  Bytes bytes;
  memcpy(bytes.data(), spec, sizeof(bytes));
  return bytes;
}

struct Owned {
  linkSpec* spec;
  ~Owned() { aLinkSpec_Destroy(&spec); }
};

}  // namespace

TEST(aLinkSpec, EachTransportLaysOutItsBytes) {
  Owned usb{aLinkSpec_Create(USB)};
  ASSERT_NE(usb.spec, nullptr);
  usb.spec->serialNumber = 0x12345678;
  usb.spec->model = 0x13;
  usb.spec->usbId = 0x12345678;
  EXPECT_EQ(Raw(usb.spec), Expected({{0, {0x01, 0, 0, 0}},
                                     {4, {0x78, 0x56, 0x34, 0x12}},
                                     {20, {0x13, 0, 0, 0}},
                                     {24, {0x78, 0x56, 0x34, 0x12}}}));

  Owned tcpip{aLinkSpec_Create(TCPIP)};
  ASSERT_NE(tcpip.spec, nullptr);
  tcpip.spec->serialNumber = 0x0000ABCD;
  tcpip.spec->moduleAddress = 8;
  tcpip.spec->routerAddress = 8;
  tcpip.spec->routerSerialNumber = 0x0000ABCD;
  tcpip.spec->model = 5;
  const uint8_t address[4] = {127, 0, 0, 5};  // network byte order: as the bytes read
  memcpy(&tcpip.spec->ipv4Address, address, sizeof(address));
  tcpip.spec->tcpPort = 0x2345;
  EXPECT_EQ(Raw(tcpip.spec), Expected({{0, {0x02, 0, 0, 0}},
                                       {4, {0xCD, 0xAB, 0, 0}},
                                       {8, {0x08, 0, 0, 0}},
                                       {12, {0x08, 0, 0, 0}},
                                       {16, {0xCD, 0xAB, 0, 0}},
                                       {20, {0x05, 0, 0, 0}},
                                       {24, {0x7F, 0x00, 0x00, 0x05}},
                                       {28, {0x45, 0x23, 0, 0}}}));

  Owned serial{aLinkSpec_Create(SERIAL)};
  ASSERT_NE(serial.spec, nullptr);
  serial.spec->serialNumber = 0xDEADDEAD;
  serial.spec->baudRate = 115200;
  strcpy(serial.spec->portName, "/dev/ttyUSB0");
  EXPECT_EQ(Raw(serial.spec), Expected({{0, {0x03, 0, 0, 0}},
                                        {4, {0xAD, 0xDE, 0xAD, 0xDE}},
                                        {24, {0x00, 0xC2, 0x01, 0x00}},
                                        {28, {'/', 'd', 'e', 'v', '/', 't', 't', 'y', 'U', 'S', 'B', '0'}}}));
}

TEST(aLinkSpec, CreateZeroFillsEveryTypeItIsGiven) {
  for (int type : {0, 1, 7, 8}) {
    Owned spec{aLinkSpec_Create(static_cast<linkType>(type))};
    ASSERT_NE(spec.spec, nullptr);
    EXPECT_EQ(Raw(spec.spec), Expected({{0, {static_cast<uint8_t>(type), 0, 0, 0}}})) << "type " << type;
  }
}

TEST(aLinkSpec, CopyIsEqualAndDistinct) {
  Owned original{aLinkSpec_Create(SERIAL)};
  ASSERT_NE(original.spec, nullptr);
  // A port name filling its whole field, without a terminator, is copied like any other bytes.
  memset(original.spec->portName, 'x', sizeof(original.spec->portName));
  original.spec->serialNumber = 7;
  Owned copy{aLinkSpec_Copy(original.spec)};
  ASSERT_NE(copy.spec, nullptr);
  EXPECT_NE(copy.spec, original.spec);
  EXPECT_EQ(Raw(copy.spec), Raw(original.spec));
  copy.spec->serialNumber = 8;
  EXPECT_EQ(original.spec->serialNumber, 7u);

  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
}

TEST(aLinkSpec, DestroyClearsThePointerOnce) {
  linkSpec* spec = aLinkSpec_Create(USB);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}
