#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Descriptors of an emulated USB device, written into its sysfs record.

struct UsbEndpointSpec {
  uint8_t address;             // bit 7 set: IN
  uint8_t attributes = 0x02;   // 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t maxPacket = 64;
};

struct UsbAltSettingSpec {
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0x88;
  uint8_t interfaceProtocol = 0x10;
  std::vector<UsbEndpointSpec> endpoints;
};

// One interface: its alternate settings 0, 1, ... in order.
struct UsbInterfaceSpec {
  std::vector<UsbAltSettingSpec> settings;
};

struct UsbDeviceConfig {
  uint16_t vendorId = 0;
  uint16_t productId = 0x0001;
  std::optional<std::string> serial;  // none: iSerialNumber 0
  std::vector<UsbInterfaceSpec> interfaces;
  // Answered to GET_DESCRIPTOR of the HID report descriptor (type 0x22); empty: stalls.
  std::vector<uint8_t> hidReportDescriptor;

  // A device of the family: the maker's vendor id, serial string "%08X", and interface 0 with
  // one setting 0xFF/0x88/0x10 holding bulk IN 0x81 and bulk OUT 0x02 of `maxPacket` bytes.
  static UsbDeviceConfig Corvantis(uint32_t serial, uint16_t maxPacket = 64);
};

// The data interface setting of the family with bulk IN 0x81 and OUT 0x02.
UsbAltSettingSpec UsbDataSetting(uint16_t maxPacket = 64);

// The device descriptor followed by configuration descriptor 1, as sysfs "descriptors" holds them.
std::vector<uint8_t> UsbDescriptorBytes(const UsbDeviceConfig& spec);

// Index of the serial-number string descriptor (0 when the device has none).
inline uint8_t UsbSerialStringIndex(const UsbDeviceConfig& spec) { return spec.serial ? 3 : 0; }
