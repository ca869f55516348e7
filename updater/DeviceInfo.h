#pragma once
#include <cstdint>
#include <string>

#include "aLinkSpec.h"

// One discovered device: how to reach it and what its probe read from it.
struct DeviceInfo {
  linkSpec spec{};              // as discovery reported it, addresses as the device reports them
  uint16_t networkAddress = 0;  // bus address behind a routing module; 0 when found directly
  uint32_t build = 0;           // firmware build; 0 when not read
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  std::string deviceName;  // read only from firmware 2.10.4 on
  uint32_t error = 0;      // first failure of the probe (an aErr), 0 when it all worked
};
