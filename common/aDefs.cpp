#include "aDefs.h"

namespace {

// Names fit the device list's 12-character column, and none is a prefix of another,
// because model checks match by prefix.
const char* const kLowModels[] = {"HubCore4", "HubCore8"};  // models 4 and 5
const char* const kModels13[] = {                            // models 13 to 27
    "SwitchMini", "SwitchPro",  "MeasureOne", "MeasureDuo", "RelayQuad",
    "RelayOcto",  "PowerNode",  "ThermoSense", "AnalogIO",  "DigitalIO",
    "MotorDrive", "CanBridge",  "SerialLink", "EthBridge",  "BaseStation"};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  if (model == 4 || model == 5) return kLowModels[model - 4];
  if (model >= 13 && model <= 27) return kModels13[model - 13];
  return "Unknown";
}
