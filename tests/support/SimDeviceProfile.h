#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "SimUpgradeEntity.h"

class SimNetwork;

// What a simulated module presents itself as, over its tables: the system entity's serial,
// model, version, name and router, the build query's reply, the protocol features, whether it
// takes firmware data as a byte sequence, and its upgrade entity. The USB product id of a device
// is its model (low byte); its AD 00 answer comes from the device's own address.
struct SimDeviceProfile {
  uint32_t serial = 0x0000ABCD;
  uint8_t model = 0x13;
  std::optional<uint8_t> router;  // the router address it reports; none: its own address
  uint32_t version = 0x2F020C05;  // 2.12.5
  uint32_t build = 12345;
  size_t buildReplyLength = 6;    // 5: one byte short
  std::string name = "SimDev1";   // more than 32 bytes overflows a reader's buffer
  bool nameRefused = false;       // a get of option 32 gets an error reply
  uint32_t protocolFeatures = 0x80000001;  // bit 31: pooled packets
  uint8_t ueiDataAnswer = 0;      // hasUEI (95, 10, 0, set): 0 takes the data as a byte sequence
  SimUpgradeEntity::Options upgrade;
  uint32_t uniqueId[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};  // option 39, subindexes 0 to 3

  // The packed version of major.minor.patch in the layout marked by 0x2F.
  static uint32_t Version(uint8_t major, uint8_t minor, uint8_t patch) {
    return 0x2F000000u | static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 | patch;
  }
};

// Loads the profile into the module's tables; the upgrade entity keeps what it holds.
void ApplyProfile(SimNetwork& network, uint8_t module, const SimDeviceProfile& profile);
