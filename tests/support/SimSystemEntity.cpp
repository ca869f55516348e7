#include "SimSystemEntity.h"

#include "SimNetwork.h"

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr uint32_t kFromValues = 0;  // the value comes from SimSystemValues

using W = SimWidth;
using A = SimAccess;

}  // namespace

const std::vector<SimSystemOption>& SimSystemOptions() {
  static const std::vector<SimSystemOption> options = {
      {1, W::kByte, false, A::kGet, kFromValues, 0},           // module address
      {2, W::kByte, false, A::kGetSet, kFromValues, 0},        // router address
      {3, W::kByte, false, A::kGetSet, 0x0A, 0},               // heartbeat interval
      {4, W::kByte, false, A::kGetSet, 0x01, 0},               // LED
      {6, W::kByte, false, A::kGetSet, 0x02, 0},               // boot slot
      {7, W::kInt, false, A::kGet, kFromValues, 0},            // firmware version
      {8, W::kByte, false, A::kGet, kFromValues, 0},           // model
      {9, W::kInt, false, A::kGet, kFromValues, 0},            // serial number
      {10, W::kNone, false, A::kCall, 0, 0},                   // save
      {11, W::kNone, false, A::kCall, 0, 0},                   // reset
      {12, W::kInt, false, A::kGet, 5012000, 0},               // input voltage
      {13, W::kByte, false, A::kGet, 0x04, 0},                 // module hardware offset
      {14, W::kByte, false, A::kGet, 0x02, 0},                 // module base address
      {15, W::kByte, false, A::kGetSet, 0x06, 0},              // module software offset
      {16, W::kByte, false, A::kGet, 0x0C, 0},                 // router address setting
      {20, W::kByte, false, A::kSet, 0, 0},                    // route to me
      {21, W::kInt, false, A::kGet, 412000, 0},                // input current
      {22, W::kInt, false, A::kGet, 86400, 0},                 // uptime
      {23, W::kInt, true, A::kGet, static_cast<uint32_t>(61500), 0},    // maximum temperature
      {24, W::kNone, false, A::kCall, 0, 0},                   // log events
      {25, W::kInt, true, A::kGet, static_cast<uint32_t>(-12000), 0},   // unregulated voltage
      {26, W::kInt, true, A::kGet, static_cast<uint32_t>(-3500), 0},    // unregulated current
      {27, W::kInt, true, A::kGet, static_cast<uint32_t>(-1250), 0},    // temperature
      {28, W::kInt, true, A::kGet, static_cast<uint32_t>(-20500), 0},   // minimum temperature
      {29, W::kByte, false, A::kGet, 0x03, 0},                 // input power source
      {30, W::kByte, false, A::kGetSet, 0x05, 0},              // input power behaviour
      {31, W::kBytes, false, A::kGetSet, kFromValues, 0},      // input power behaviour configuration
      {32, W::kBytes, false, A::kGetSet, kFromValues, 0},      // name
      {33, W::kInt, false, A::kGet, 15000, 0},                 // power limit
      {34, W::kInt, false, A::kGetSet, 20000, 0},              // power limit maximum
      {35, W::kInt, false, A::kGet, 0x00000007, 0},            // power limit state
      {37, W::kNone, false, A::kCall, 0, 0},                   // reset to factory defaults
      {38, W::kByte, false, A::kGetSet, 0x01, 0},              // link interface
      {39, W::kInt, false, A::kGet, kFromValues, 4},           // chip identifier words
      {40, W::kInt, false, A::kGet, 0x00030001, 0},            // hardware version
      {41, W::kInt, false, A::kGet, 0x00000100, 0},            // errors
      {42, W::kByte, false, A::kGetSet, 0xC8, 0},              // LED maximum brightness
      {43, W::kInt, false, A::kGet, 12345, 0},                 // build
      {45, W::kInt, false, A::kGet, 0x80000001, 0},            // protocol features
  };
  return options;
}

void LoadSystemEntity(SimNetwork& network, uint8_t module, const SimSystemValues& values, uint8_t index) {
  for (const SimSystemOption& row : SimSystemOptions()) {
    SimEntity entity;
    entity.width = row.width;
    entity.value = row.value;
    entity.gettable = row.access == SimAccess::kGet || row.access == SimAccess::kGetSet;
    entity.settable = row.access != SimAccess::kGet;
    switch (row.option) {
      case 1:
        entity.value = values.module != 0 ? values.module : module;
        break;
      case 2:
        entity.value = values.router != 0 ? values.router : module;
        break;
      case 7:
        entity.value = values.version;
        break;
      case 8:
        entity.value = values.model;
        break;
      case 9:
        entity.value = values.serial;
        break;
      case 31:
        entity.bytes = values.powerBehaviorConfig;
        break;
      case 32:
        entity.bytes.assign(values.name.begin(), values.name.end());
        break;
      default:
        break;
    }
    if (row.subindexes == 0) {
      network.SetEntity(module, {kSystemCommand, row.option, index}, entity);
      continue;
    }
    for (uint8_t sub = 0; sub < row.subindexes; ++sub) {
      entity.value = values.uniqueId[sub % 4];
      network.SetEntity(module, {kSystemCommand, row.option, index, sub}, entity);
    }
  }
}
