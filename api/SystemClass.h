#pragma once
#include <cstddef>
#include <cstdint>

#include "EntityClass.h"

namespace Tavrin::Corvantis {

// The system entity (command 3) of a device: identity, module addressing and routing, reset
// and save, power and temperature. Each member is one get, set or call of one option; results
// and errors are EntityClass's (a null getter pointer: aErrParam). Values are unsigned unless
// the type says otherwise.
class SystemClass : public EntityClass {
 public:
  SystemClass() = default;
  ~SystemClass() override = default;

  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* address);
  aErr getRouter(uint8_t* address);
  aErr setRouter(uint8_t address);
  aErr getHBInterval(uint8_t* interval);
  aErr setHBInterval(uint8_t interval);
  aErr getLED(uint8_t* state);
  aErr setLED(uint8_t state);
  aErr getBootSlot(uint8_t* slot);
  aErr setBootSlot(uint8_t slot);
  // An aVersionPacked value.
  aErr getVersion(uint32_t* version);
  aErr getModel(uint8_t* model);
  aErr getSerialNumber(uint32_t* serial);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* voltage);
  aErr getModuleHardwareOffset(uint8_t* offset);
  aErr getModuleBaseAddress(uint8_t* address);
  aErr getModuleSoftwareOffset(uint8_t* offset);
  aErr setModuleSoftwareOffset(uint8_t offset);
  aErr getRouterAddressSetting(uint8_t* address);
  // 1: this module routes the device network to the host; 0 releases it.
  aErr routeToMe(uint8_t on);
  aErr getInputCurrent(uint32_t* current);
  aErr getUptime(uint32_t* uptime);
  aErr getMaximumTemperature(int32_t* temperature);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* voltage);
  aErr getUnregulatedCurrent(int32_t* current);
  aErr getTemperature(int32_t* temperature);
  aErr getMinimumTemperature(int32_t* temperature);
  aErr getInputPowerSource(uint8_t* source);
  aErr getInputPowerBehavior(uint8_t* behavior);
  aErr setInputPowerBehavior(uint8_t behavior);
  // 32-bit values that travel as the bytes of the array in the host's memory order. The count
  // is in values; a byte count that is not a whole number of them gives aErrMemory.
  aErr getInputPowerBehaviorConfig(uint32_t* buffer, size_t capacity, size_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* values, size_t count);
  // The name's bytes, without a terminating zero; the count says how many.
  aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
  aErr setName(const uint8_t* bytes, size_t length);
  aErr getPowerLimit(uint32_t* limit);
  aErr getPowerLimitMax(uint32_t* limit);
  aErr setPowerLimitMax(uint32_t limit);
  aErr getPowerLimitState(uint32_t* state);
  aErr resetDeviceToFactoryDefaults();
  aErr getLinkInterface(uint8_t* link);
  aErr setLinkInterface(uint8_t link);
  aErr getHardwareVersion(uint32_t* version);
  aErr getErrors(uint32_t* errors);
  aErr getLEDMaxBrightness(uint8_t* brightness);
  aErr setLEDMaxBrightness(uint8_t brightness);
  aErr getBuild(uint32_t* build);
  // Bit 31: the device takes pooled packets.
  aErr getProtocolFeatures(uint32_t* features);
};

}  // namespace Tavrin::Corvantis
