#include "SimDeviceProfile.h"

#include "SimNetwork.h"
#include "SimSystemEntity.h"
#include "aError.h"

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kRouterOption = 2;
constexpr uint8_t kNameOption = 32;
constexpr uint8_t kFeaturesOption = 45;
constexpr uint8_t kUpgradeCommand = 95;
constexpr uint8_t kUpgradeDataOption = 10;
constexpr uint8_t kSetFlags = 0x80;

}  // namespace

void ApplyProfile(SimNetwork& network, uint8_t module, const SimDeviceProfile& profile) {
  SimSystemValues values;
  values.serial = profile.serial;
  values.model = profile.model;
  values.version = profile.version;
  values.name = profile.name;
  for (int i = 0; i < 4; ++i) values.uniqueId[i] = profile.uniqueId[i];
  LoadSystemEntity(network, module, values);
  if (profile.router) {
    SimEntity router = *network.Entity(module, {kSystemCommand, kRouterOption, 0});
    router.value = *profile.router;
    network.SetEntity(module, {kSystemCommand, kRouterOption, 0}, router);
  }
  SimEntity features;
  features.width = SimWidth::kInt;
  features.value = profile.protocolFeatures;
  features.settable = false;
  network.SetEntity(module, {kSystemCommand, kFeaturesOption, 0}, features);
  if (profile.nameRefused) {
    SimEntity name = *network.Entity(module, {kSystemCommand, kNameOption, 0});
    name.error = aErrUnimplemented;
    network.SetEntity(module, {kSystemCommand, kNameOption, 0}, name);
  }
  network.SetBuild(module, profile.build, profile.buildReplyLength);
  network.SetHasUEI(module, kUpgradeCommand, kUpgradeDataOption, 0, kSetFlags, profile.ueiDataAnswer);
  network.SetUpgrade(module, profile.upgrade);
}
