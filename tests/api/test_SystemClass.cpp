// SystemClass against the simulated device's system entity (typed in from the system option
// table): every named member's request bytes and what it decodes, then the byte sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DeviceRigs.h"
#include "PacketHelpers.h"
#include "SimSystemEntity.h"
#include "SystemClass.h"

using namespace Tavrin::Corvantis;

namespace {

constexpr uint64_t kBound = 5000;
constexpr uint8_t kAddress = 6;

using Getter = std::function<aErr(SystemClass&, int64_t*)>;
using Setter = std::function<aErr(SystemClass&, uint32_t)>;
using Caller = std::function<aErr(SystemClass&)>;

template <typename T>
Getter Get(aErr (SystemClass::*member)(T*)) {
  return [member](SystemClass& system, int64_t* out) {
    T value{};
    aErr err = (system.*member)(&value);
    *out = value;
    return err;
  };
}
template <typename T>
Setter Set(aErr (SystemClass::*member)(T)) {
  return [member](SystemClass& system, uint32_t value) { return (system.*member)(static_cast<T>(value)); };
}
Caller Call(aErr (SystemClass::*member)()) {
  return [member](SystemClass& system) { return (system.*member)(); };
}

// One named member: its option, its value's width and signedness, and what it does.
struct Member {
  const char* name;
  uint8_t option;
  SimWidth width;
  bool isSigned;
  Getter get;
  Setter set;
  Caller call;
};

std::string PrintName(const testing::TestParamInfo<Member>& info) { return info.param.name; }

const Member kMembers[] = {
    {"getModule", 1, SimWidth::kByte, false, Get(&SystemClass::getModule), {}, {}},
    {"getRouter", 2, SimWidth::kByte, false, Get(&SystemClass::getRouter), {}, {}},
    {"setRouter", 2, SimWidth::kByte, false, {}, Set(&SystemClass::setRouter), {}},
    {"getHBInterval", 3, SimWidth::kByte, false, Get(&SystemClass::getHBInterval), {}, {}},
    {"setHBInterval", 3, SimWidth::kByte, false, {}, Set(&SystemClass::setHBInterval), {}},
    {"getLED", 4, SimWidth::kByte, false, Get(&SystemClass::getLED), {}, {}},
    {"setLED", 4, SimWidth::kByte, false, {}, Set(&SystemClass::setLED), {}},
    {"getBootSlot", 6, SimWidth::kByte, false, Get(&SystemClass::getBootSlot), {}, {}},
    {"setBootSlot", 6, SimWidth::kByte, false, {}, Set(&SystemClass::setBootSlot), {}},
    {"getVersion", 7, SimWidth::kInt, false, Get(&SystemClass::getVersion), {}, {}},
    {"getModel", 8, SimWidth::kByte, false, Get(&SystemClass::getModel), {}, {}},
    {"getSerialNumber", 9, SimWidth::kInt, false, Get(&SystemClass::getSerialNumber), {}, {}},
    {"save", 10, SimWidth::kNone, false, {}, {}, Call(&SystemClass::save)},
    {"reset", 11, SimWidth::kNone, false, {}, {}, Call(&SystemClass::reset)},
    {"getInputVoltage", 12, SimWidth::kInt, false, Get(&SystemClass::getInputVoltage), {}, {}},
    {"getModuleHardwareOffset", 13, SimWidth::kByte, false, Get(&SystemClass::getModuleHardwareOffset), {}, {}},
    {"getModuleBaseAddress", 14, SimWidth::kByte, false, Get(&SystemClass::getModuleBaseAddress), {}, {}},
    {"getModuleSoftwareOffset", 15, SimWidth::kByte, false, Get(&SystemClass::getModuleSoftwareOffset), {}, {}},
    {"setModuleSoftwareOffset", 15, SimWidth::kByte, false, {}, Set(&SystemClass::setModuleSoftwareOffset), {}},
    {"getRouterAddressSetting", 16, SimWidth::kByte, false, Get(&SystemClass::getRouterAddressSetting), {}, {}},
    {"routeToMe", 20, SimWidth::kByte, false, {}, Set(&SystemClass::routeToMe), {}},
    {"getInputCurrent", 21, SimWidth::kInt, false, Get(&SystemClass::getInputCurrent), {}, {}},
    {"getUptime", 22, SimWidth::kInt, false, Get(&SystemClass::getUptime), {}, {}},
    {"getMaximumTemperature", 23, SimWidth::kInt, true, Get(&SystemClass::getMaximumTemperature), {}, {}},
    {"logEvents", 24, SimWidth::kNone, false, {}, {}, Call(&SystemClass::logEvents)},
    {"getUnregulatedVoltage", 25, SimWidth::kInt, true, Get(&SystemClass::getUnregulatedVoltage), {}, {}},
    {"getUnregulatedCurrent", 26, SimWidth::kInt, true, Get(&SystemClass::getUnregulatedCurrent), {}, {}},
    {"getTemperature", 27, SimWidth::kInt, true, Get(&SystemClass::getTemperature), {}, {}},
    {"getMinimumTemperature", 28, SimWidth::kInt, true, Get(&SystemClass::getMinimumTemperature), {}, {}},
    {"getInputPowerSource", 29, SimWidth::kByte, false, Get(&SystemClass::getInputPowerSource), {}, {}},
    {"getInputPowerBehavior", 30, SimWidth::kByte, false, Get(&SystemClass::getInputPowerBehavior), {}, {}},
    {"setInputPowerBehavior", 30, SimWidth::kByte, false, {}, Set(&SystemClass::setInputPowerBehavior), {}},
    {"getPowerLimit", 33, SimWidth::kInt, false, Get(&SystemClass::getPowerLimit), {}, {}},
    {"getPowerLimitMax", 34, SimWidth::kInt, false, Get(&SystemClass::getPowerLimitMax), {}, {}},
    {"setPowerLimitMax", 34, SimWidth::kInt, false, {}, Set(&SystemClass::setPowerLimitMax), {}},
    {"getPowerLimitState", 35, SimWidth::kInt, false, Get(&SystemClass::getPowerLimitState), {}, {}},
    {"resetDeviceToFactoryDefaults", 37, SimWidth::kNone, false, {}, {},
     Call(&SystemClass::resetDeviceToFactoryDefaults)},
    {"getLinkInterface", 38, SimWidth::kByte, false, Get(&SystemClass::getLinkInterface), {}, {}},
    {"setLinkInterface", 38, SimWidth::kByte, false, {}, Set(&SystemClass::setLinkInterface), {}},
    {"getHardwareVersion", 40, SimWidth::kInt, false, Get(&SystemClass::getHardwareVersion), {}, {}},
    {"getErrors", 41, SimWidth::kInt, false, Get(&SystemClass::getErrors), {}, {}},
    {"getLEDMaxBrightness", 42, SimWidth::kByte, false, Get(&SystemClass::getLEDMaxBrightness), {}, {}},
    {"setLEDMaxBrightness", 42, SimWidth::kByte, false, {}, Set(&SystemClass::setLEDMaxBrightness), {}},
    {"getBuild", 43, SimWidth::kInt, false, Get(&SystemClass::getBuild), {}, {}},
    {"getProtocolFeatures", 45, SimWidth::kInt, false, Get(&SystemClass::getProtocolFeatures), {}, {}},
};

class SystemRig {
 public:
  SystemRig() {
    LoadSystemEntity(network(), kAddress);
    connected = rig.Connect();
    system.init(&rig.module, 0);
  }
  SimNetwork& network() { return rig.network(); }
  SimLinkDevice& device() { return rig.sim.device; }
  std::vector<std::vector<uint8_t>> Since(size_t from, size_t count) {
    return ReceivedSince(device(), from, count, kBound);
  }

  TcpModuleRig rig;
  aErr connected;
  SystemClass system;
};

class SystemMembers : public testing::TestWithParam<Member> {};

}  // namespace

TEST_P(SystemMembers, RequestAndValue) {
  const Member& member = GetParam();
  SystemRig r;
  ASSERT_EQ(r.connected, aErrNone);
  std::optional<SimEntity> entity = r.network().Entity(kAddress, {3, member.option, 0});
  ASSERT_TRUE(entity.has_value());
  ASSERT_EQ(entity->width, member.width);
  size_t from = r.device().PacketCount();
  std::vector<uint8_t> request{kAddress, 3, 3, static_cast<uint8_t>(member.option), 0x20};
  if (member.get) {
    request[3] |= 0x40;
    int64_t value = 0;
    ASSERT_EQ(member.get(r.system, &value), aErrNone);
    int64_t expected = member.isSigned ? static_cast<int64_t>(static_cast<int32_t>(entity->value)) : entity->value;
    EXPECT_EQ(value, expected);
    // A null pointer is refused before anything is sent.
    EXPECT_EQ(r.Since(from, 1), std::vector<std::vector<uint8_t>>{request});
    return;
  }
  request[3] |= 0x80;
  if (member.set) {
    const uint32_t value = member.width == SimWidth::kByte ? 0xA5 : 0xA5B6C7D8;
    ASSERT_EQ(member.set(r.system, value), aErrNone);
    for (int shift = static_cast<int>(member.width) * 8 - 8; shift >= 0; shift -= 8)
      request.push_back(static_cast<uint8_t>(value >> shift));
    request[1] = static_cast<uint8_t>(request.size() - 2);
    EXPECT_EQ(r.network().Entity(kAddress, {3, member.option, 0})->value, value);
  } else {
    ASSERT_EQ(member.call(r.system), aErrNone);
    EXPECT_EQ(r.network().EntityCalls(kAddress), (std::vector<SimEntityKey>{{3, member.option, 0}}));
  }
  EXPECT_EQ(r.Since(from, 1), std::vector<std::vector<uint8_t>>{request});
}

INSTANTIATE_TEST_SUITE_P(Every, SystemMembers, testing::ValuesIn(kMembers), PrintName);

TEST(SystemClassValues, RoutingTemperatureNameAndPowerConfiguration) {
  SystemRig r;
  ASSERT_EQ(r.connected, aErrNone);
  size_t from = r.device().PacketCount();
  EXPECT_EQ(r.system.routeToMe(1), aErrNone);
  EXPECT_EQ(r.Since(from, 1), std::vector<std::vector<uint8_t>>{HexBytes("06 04 03 94 20 01")});
  EXPECT_EQ(r.network().SentReplies().back().payload, HexBytes("03 D4 00"));

  int32_t temperature = 0;
  EXPECT_EQ(r.system.getTemperature(&temperature), aErrNone);
  EXPECT_LT(temperature, 0);
  EXPECT_EQ(temperature, -1250);

  uint8_t name[16];
  size_t count = 0;
  EXPECT_EQ(r.system.getName(name, 5, &count), aErrMemory);
  EXPECT_EQ(r.system.getName(name, sizeof name, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), count), "SimDev1");
  const uint8_t renamed[] = {'H', 'u', 'b'};
  EXPECT_EQ(r.system.setName(renamed, sizeof renamed), aErrNone);
  EXPECT_EQ(r.network().Entity(kAddress, {3, 32, 0})->bytes, std::vector<uint8_t>(renamed, renamed + 3));

  // Host byte order: the array's bytes as they lie in memory.
  const uint32_t config[2] = {0x01020304, 0xA0B0C0D0};
  std::vector<uint8_t> asStored(sizeof config);
  memcpy(asStored.data(), config, sizeof config);
  from = r.device().PacketCount();
  EXPECT_EQ(r.system.setInputPowerBehaviorConfig(config, 2), aErrNone);
  std::vector<uint8_t> packet = HexBytes("06 0C 03 9F 20");
  packet.insert(packet.end(), asStored.begin(), asStored.end());
  packet.push_back(0x00);
  EXPECT_EQ(r.Since(from, 1), std::vector<std::vector<uint8_t>>{packet});
  uint32_t back[4] = {};
  count = 0;
  EXPECT_EQ(r.system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(back[0], config[0]);
  EXPECT_EQ(back[1], config[1]);
  EXPECT_EQ(r.system.getInputPowerBehaviorConfig(back, 1, &count), aErrMemory);

  // A byte count that is not a whole number of values.
  r.network().SetEntity(kAddress, {3, 31, 0}, {SimWidth::kBytes, 0, {1, 2, 3, 4, 5, 6, 7}});
  count = 0;
  EXPECT_EQ(r.system.getInputPowerBehaviorConfig(back, 4, &count), aErrMemory);
  EXPECT_EQ(count, 7u);

  // Null outputs are refused without a request.
  from = r.device().PacketCount();
  EXPECT_EQ(r.system.getSerialNumber(nullptr), aErrParam);
  EXPECT_EQ(r.system.getTemperature(nullptr), aErrParam);
  EXPECT_EQ(r.system.getModel(nullptr), aErrParam);
  EXPECT_EQ(r.system.getName(nullptr, 4, &count), aErrParam);
  EXPECT_EQ(r.system.setInputPowerBehaviorConfig(nullptr, 2), aErrParam);
  EXPECT_EQ(r.device().PacketCount(), from);
}

TEST(SystemClassValues, TheChipIdentifierWordsBySubindex) {
  SystemRig r;
  ASSERT_EQ(r.connected, aErrNone);
  const uint32_t words[] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  for (uint8_t sub = 0; sub < 4; ++sub) {
    uint32_t word = 0;
    EXPECT_EQ(r.system.getUEI32(39, sub, &word), aErrNone);
    EXPECT_EQ(word, words[sub]);
  }
}
