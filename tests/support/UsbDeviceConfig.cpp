#include "UsbDeviceConfig.h"

#include <cstdio>

#include "aUSBVendor.h"

UsbAltSettingSpec UsbDataSetting(uint16_t maxPacket) {
  UsbAltSettingSpec setting;
  setting.endpoints = {{0x81, 0x02, maxPacket}, {0x02, 0x02, maxPacket}};
  return setting;
}

UsbDeviceConfig UsbDeviceConfig::Corvantis(uint32_t serial, uint16_t maxPacket) {
  UsbDeviceConfig spec;
  spec.vendorId = aCORVANTIS_USB_VENDOR_ID;
  char text[16];
  snprintf(text, sizeof(text), "%08X", serial);
  spec.serial = text;
  spec.interfaces = {UsbInterfaceSpec{{UsbDataSetting(maxPacket)}}};
  return spec;
}

namespace {

void sPut16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

std::vector<uint8_t> UsbDescriptorBytes(const UsbDeviceConfig& spec) {
  std::vector<uint8_t> out = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
  sPut16(out, spec.vendorId);
  sPut16(out, spec.productId);
  sPut16(out, 0x0100);  // bcdDevice
  out.insert(out.end(), {0, 0, UsbSerialStringIndex(spec), 1});

  std::vector<uint8_t> body;
  for (size_t number = 0; number < spec.interfaces.size(); ++number) {
    const auto& settings = spec.interfaces[number].settings;
    for (size_t alt = 0; alt < settings.size(); ++alt) {
      const UsbAltSettingSpec& s = settings[alt];
      body.insert(body.end(), {9, 4, static_cast<uint8_t>(number), static_cast<uint8_t>(alt),
                               static_cast<uint8_t>(s.endpoints.size()), s.interfaceClass,
                               s.interfaceSubClass, s.interfaceProtocol, 0});
      for (const UsbEndpointSpec& e : s.endpoints) {
        body.insert(body.end(), {7, 5, e.address, e.attributes});
        sPut16(body, e.maxPacket);
        body.push_back((e.attributes & 0x03) == 0x02 ? 0 : 1);  // bInterval
      }
    }
  }
  std::vector<uint8_t> config = {9, 2};
  sPut16(config, static_cast<uint16_t>(9 + body.size()));
  config.insert(config.end(), {static_cast<uint8_t>(spec.interfaces.size()), 1, 0, 0x80, 50});
  out.insert(out.end(), config.begin(), config.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}
