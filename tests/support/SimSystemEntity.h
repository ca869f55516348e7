#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "SimEntityTable.h"

class SimNetwork;

// The system entity (command 3) of a simulated module, typed in from the device's system option
// table: each option's width, signedness, access and a value of its own, so that a test can
// tell every option's answer from the others'.
enum class SimAccess : uint8_t { kGet, kSet, kGetSet, kCall };

struct SimSystemOption {
  uint8_t option;
  SimWidth width;  // kBytes for the byte sequences
  bool isSigned;
  SimAccess access;
  uint32_t value;        // the value a get answers (for byte sequences: none, see below)
  uint8_t subindexes;    // 0: no subindex; n: one 32-bit value per subindex 0 to n - 1
};

// Every option the system entity has, in option order.
const std::vector<SimSystemOption>& SimSystemOptions();

// The values a device presents itself with; the rest come from the table.
struct SimSystemValues {
  uint32_t serial = 0x0000ABCD;
  uint8_t model = 0x13;
  uint32_t version = 0x2F020C05;  // 2.12.5 in the packed layout marked by 0x2F
  std::string name = "SimDev1";
  uint8_t module = 0;  // the module's own address when 0
  uint8_t router = 0;  // the module's own address when 0
  std::vector<uint8_t> powerBehaviorConfig{1, 0, 0, 0, 2, 0, 0, 0};
  // Option 39, subindexes 0 to 3: the chip identifier.
  uint32_t uniqueId[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
};

// Loads the system entity of `index` into the module's entity table.
void LoadSystemEntity(SimNetwork& network, uint8_t module, const SimSystemValues& values = {}, uint8_t index = 0);
