#pragma once
// Whether a simulated device holds an image after an update: its loader RAM holds every loader
// block's image and its flash every firmware block's image, each at its load address, with the
// serial number written in where the image takes it (BirdFile::ReplaceSerialNumber).
#include <cstdint>
#include <string>
#include <vector>

#include "SimUpgradeEntity.h"

class SimNetwork;

// A module's memories as written stretches.
struct DeviceMemory {
  std::vector<SimUpgradeEntity::Stretch> flash;
  std::vector<SimUpgradeEntity::Stretch> loaderRam;

  // The module's models, read now.
  static DeviceMemory Of(const SimNetwork& network, uint8_t module);
  // corvantis-devsim's dump: the files PREFIX-flash-0xADDRESS.bin and PREFIX-ram-0xADDRESS.bin
  // in dir (PREFIX as "tcp1-08").
  static DeviceMemory FromDump(const std::string& dir, const std::string& prefix);
};

// "" when the memory holds the image (bird file bytes) for the device with that serial number;
// otherwise which memory differs first and at what address, or why the image cannot be read.
std::string FlashDifference(const DeviceMemory& memory, const std::vector<uint8_t>& image, uint32_t serial);
