// SystemClass: each member is one request of one option of the system entity.
#include "SystemClass.h"

#include <cstdint>
#include <limits>

namespace Tavrin::Corvantis {

namespace {

constexpr uint8_t kSystemCommand = 3;

// The system entity's option numbers.
enum : uint8_t {
  kModule = 1,
  kRouter = 2,
  kHBInterval = 3,
  kLED = 4,
  kBootSlot = 6,
  kVersion = 7,
  kModel = 8,
  kSerialNumber = 9,
  kSave = 10,
  kReset = 11,
  kInputVoltage = 12,
  kModuleHardwareOffset = 13,
  kModuleBaseAddress = 14,
  kModuleSoftwareOffset = 15,
  kRouterAddressSetting = 16,
  kRouteToMe = 20,
  kInputCurrent = 21,
  kUptime = 22,
  kMaximumTemperature = 23,
  kLogEvents = 24,
  kUnregulatedVoltage = 25,
  kUnregulatedCurrent = 26,
  kTemperature = 27,
  kMinimumTemperature = 28,
  kInputPowerSource = 29,
  kInputPowerBehavior = 30,
  kInputPowerBehaviorConfig = 31,
  kName = 32,
  kPowerLimit = 33,
  kPowerLimitMax = 34,
  kPowerLimitState = 35,
  kResetDeviceToFactoryDefaults = 37,
  kLinkInterface = 38,
  kHardwareVersion = 40,
  kErrors = 41,
  kLEDMaxBrightness = 42,
  kBuild = 43,
  kProtocolFeatures = 45,
};

// A signed 32-bit value: the 32 bits as they came.
aErr sGetSigned(EntityClass& entity, uint8_t option, int32_t* out) {
  if (out == nullptr) return aErrParam;
  uint32_t bits = 0;
  aErr err = entity.getUEI32(option, &bits);
  if (err == aErrNone || err == aErrStreamStale) *out = static_cast<int32_t>(bits);
  return err;
}

}  // namespace

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, kSystemCommand, index); }

aErr SystemClass::getModule(uint8_t* address) { return getUEI8(kModule, address); }
aErr SystemClass::getRouter(uint8_t* address) { return getUEI8(kRouter, address); }
aErr SystemClass::setRouter(uint8_t address) { return setUEI8(kRouter, address); }
aErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(kHBInterval, interval); }
aErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(kHBInterval, interval); }
aErr SystemClass::getLED(uint8_t* state) { return getUEI8(kLED, state); }
aErr SystemClass::setLED(uint8_t state) { return setUEI8(kLED, state); }
aErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(kBootSlot, slot); }
aErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(kBootSlot, slot); }
aErr SystemClass::getVersion(uint32_t* version) { return getUEI32(kVersion, version); }
aErr SystemClass::getModel(uint8_t* model) { return getUEI8(kModel, model); }
aErr SystemClass::getSerialNumber(uint32_t* serial) { return getUEI32(kSerialNumber, serial); }
aErr SystemClass::save() { return callUEI(kSave); }
aErr SystemClass::reset() { return callUEI(kReset); }
aErr SystemClass::getInputVoltage(uint32_t* voltage) { return getUEI32(kInputVoltage, voltage); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(kModuleHardwareOffset, offset); }
aErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(kModuleBaseAddress, address); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(kModuleSoftwareOffset, offset); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(kModuleSoftwareOffset, offset); }
aErr SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(kRouterAddressSetting, address); }
aErr SystemClass::routeToMe(uint8_t on) { return setUEI8(kRouteToMe, on); }
aErr SystemClass::getInputCurrent(uint32_t* current) { return getUEI32(kInputCurrent, current); }
aErr SystemClass::getUptime(uint32_t* uptime) { return getUEI32(kUptime, uptime); }
aErr SystemClass::getMaximumTemperature(int32_t* temperature) {
  return sGetSigned(*this, kMaximumTemperature, temperature);
}
aErr SystemClass::logEvents() { return callUEI(kLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* voltage) { return sGetSigned(*this, kUnregulatedVoltage, voltage); }
aErr SystemClass::getUnregulatedCurrent(int32_t* current) { return sGetSigned(*this, kUnregulatedCurrent, current); }
aErr SystemClass::getTemperature(int32_t* temperature) { return sGetSigned(*this, kTemperature, temperature); }
aErr SystemClass::getMinimumTemperature(int32_t* temperature) {
  return sGetSigned(*this, kMinimumTemperature, temperature);
}
aErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(kInputPowerSource, source); }
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(kInputPowerBehavior, behavior); }
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(kInputPowerBehavior, behavior); }

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* buffer, size_t capacity, size_t* count) {
  // A capacity too large to count in bytes is as good as unbounded.
  size_t bytes = capacity > std::numeric_limits<size_t>::max() / sizeof(uint32_t) ? std::numeric_limits<size_t>::max()
                                                                                   : capacity * sizeof(uint32_t);
  aErr err = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(buffer), bytes, count);
  return err != aErrNone ? err : getUEIBytesCheck(count, sizeof(uint32_t));
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* values, size_t count) {
  if (values == nullptr && count > 0) return aErrParam;
  if (count > std::numeric_limits<size_t>::max() / sizeof(uint32_t)) return aErrParam;
  return setUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(values), count * sizeof(uint32_t));
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count) {
  aErr err = getUEIBytes(kName, buffer, capacity, count);
  return err != aErrNone ? err : getUEIBytesCheck(count, 1);
}

aErr SystemClass::setName(const uint8_t* bytes, size_t length) { return setUEIBytes(kName, bytes, length); }
aErr SystemClass::getPowerLimit(uint32_t* limit) { return getUEI32(kPowerLimit, limit); }
aErr SystemClass::getPowerLimitMax(uint32_t* limit) { return getUEI32(kPowerLimitMax, limit); }
aErr SystemClass::setPowerLimitMax(uint32_t limit) { return setUEI32(kPowerLimitMax, limit); }
aErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(kPowerLimitState, state); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(kResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* link) { return getUEI8(kLinkInterface, link); }
aErr SystemClass::setLinkInterface(uint8_t link) { return setUEI8(kLinkInterface, link); }
aErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(kHardwareVersion, version); }
aErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(kErrors, errors); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) { return getUEI8(kLEDMaxBrightness, brightness); }
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(kLEDMaxBrightness, brightness); }
aErr SystemClass::getBuild(uint32_t* build) { return getUEI32(kBuild, build); }
aErr SystemClass::getProtocolFeatures(uint32_t* features) { return getUEI32(kProtocolFeatures, features); }

}  // namespace Tavrin::Corvantis
