// The discover workflows: the devices that discovery reports, and the modules behind a
// routing module, each questioned for its addresses, version, build and name.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

#include "DisableEther.h"
#include "I2CClass.h"
#include "Log.h"
#include "SystemClass.h"
#include "UpgradeReplies.h"
#include "Updater.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aVersion.h"

using Tavrin::Corvantis::I2CClass;
using Tavrin::Corvantis::Link;
using Tavrin::Corvantis::Module;
using Tavrin::Corvantis::SystemClass;

namespace {

const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// For discovery 127.0.0.1 means every interface.
const uint32_t kEveryInterface = htonl(INADDR_LOOPBACK);
constexpr uint8_t kProbeModuleAddress = 2;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kBusSpeed = 3;
constexpr unsigned kLastBusAddress = 252;  // 254 is never tried
constexpr size_t kNameCapacity = 32;

struct SpecDestroyer {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using SpecPtr = std::unique_ptr<linkSpec, SpecDestroyer>;

bool _discovered_device(const linkSpec* spec, bool* found, void* ref) {
  DeviceInfo device;
  memcpy(&device.spec, spec, sizeof(linkSpec));
  static_cast<std::vector<DeviceInfo>*>(ref)->push_back(std::move(device));
  *found = true;
  return true;
}

uint32_t _get_build_number(Module& module) {
  Link* link = module.getLink();
  if (link == nullptr) return 0;
  const uint8_t match[] = {kQueryCommand, kBuildQuery};
  // A late answer to an earlier query would be taken for this one.
  link->dropMatchingPackets(match, sizeof match);
  const uint8_t request[] = {kBuildQuery};
  if (link->sendPacket(module.getModuleAddress(), kQueryCommand, sizeof request, request) != aErrNone) return 0;
  uint8_t length = sizeof match;
  uint8_t reply[aPACKET_MAX_DATA];
  if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
  return _build_number_reply(reply, length);
}

aErr _get_version(Module& module, DeviceInfo& device) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr err = system.getVersion(&version);
  if (err != aErrNone) return err;
  device.versionMajor = aVersion_ParseMajor(version);
  device.versionMinor = aVersion_ParseMinor(version);
  device.versionPatch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  device.spec.moduleAddress = address;
  uint8_t router = 0;
  err = system.getRouter(&router);
  if (err == aErrNone) device.spec.routerAddress = router;
  return err;
}

aErr _get_device_name(Module& module, DeviceInfo& device) {
  // Older firmware has no name; the patch is compared in its low 8 bits.
  if (!aVersion_IsAtLeastCompare(device.versionMajor, device.versionMinor,
                                 static_cast<uint8_t>(device.versionPatch & 0xFF), 2, 10, 4))
    return aErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[kNameCapacity];
  size_t count = 0;
  aErr err = system.getName(name, sizeof name, &count);
  if (err == aErrNone) device.deviceName.assign(reinterpret_cast<const char*>(name), count);
  return err;
}

void _probe_device(DeviceInfo& device, UpdaterDisplayInterface& display) {
  device.modelName = aDefs_GetModelName(device.spec.model);
  Module module(kProbeModuleAddress, 0);
  if (_disableEther(module, display) != aErrNone) return;
  device.error = module.connectFromSpec(device.spec);
  if (device.error == aErrNone) {
    device.build = _get_build_number(module);
    device.error = _get_version(module, device);
    if (device.error == aErrNone) {
      // A name that cannot be read leaves a working device working: it is listed without one.
      aErr err = _get_device_name(module, device);
      if (err != aErrNone) {
        device.deviceName.clear();
        Log::log(DEBUG_Updater, "Could not read the name of device [%08X] (%d)\n", device.spec.serialNumber, err);
      }
    }
  }
  module.disconnect();
}

struct LinkSearch {
  uint32_t serialNumber;
  linkType type;
};

bool _discovered_link(const linkSpec* spec, bool* found, void* ref) {
  LinkSearch* search = static_cast<LinkSearch*>(ref);
  *found = true;
  if (spec->serialNumber != search->serialNumber) return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->type = static_cast<linkType>(spec->type);
  return false;
}

linkType _discover_link_type(uint32_t serialNumber) {
  LinkSearch search{serialNumber, static_cast<linkType>(0)};
  aDiscovery_EnumerateModules(USB, _discovered_link, &search, kEveryInterface);
  // Other USB devices count as found too: whether the wanted one was among them is what matters.
  if (search.type == 0) aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, kEveryInterface);
  return search.type;
}

// The module at bus address `a` behind the routing module, as an entry; false when it is to be
// left out (no serial number).
bool _probe_network_device(Module& router, const linkSpec& routerSpec, linkType type, uint32_t routerSerialNumber,
                           uint8_t a, UpdaterDisplayInterface& display, DeviceInfo* entry) {
  Module device(a, false, 0);
  (void)_disableEther(device, display);
  if (device.connectThroughLinkModule(&router) != aErrNone) return false;
  SystemClass system;
  system.init(&device, 0);
  uint32_t serial = 0;
  if (system.getSerialNumber(&serial) != aErrNone) {
    device.disconnect();
    return false;
  }
  Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
  entry->spec.type = type;
  entry->spec.serialNumber = serial;
  entry->spec.routerAddress = router.getModuleAddress();
  entry->spec.routerSerialNumber = routerSerialNumber;
  memcpy(entry->spec.transport, routerSpec.transport, sizeof entry->spec.transport);
  entry->networkAddress = a;
  entry->build = _get_build_number(device);
  entry->error = _get_version(device, *entry);
  uint8_t model = 0;
  aErr err = system.getModel(&model);
  if (err == aErrNone) {
    entry->spec.model = model;
    entry->modelName = aDefs_GetModelName(model);
  } else {
    entry->error = err;
  }
  device.disconnect();
  return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type, bool* ok) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> types{type};
  if (type == 0) types = {USB, TCPIP};
  for (linkType each : types) aDiscovery_EnumerateModules(each, _discovered_device, &devices, kEveryInterface);
  for (DeviceInfo& device : devices) _probe_device(device, display);
  if (ok != nullptr) *ok = true;
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_QLNetwork_Devices(uint32_t routerSerialNumber, linkType type, bool* ok) {
  // Whatever the scan meets, it ran: the list it gives is the answer.
  if (ok != nullptr) *ok = true;
  std::vector<DeviceInfo> devices;
  if (type == 0) type = _discover_link_type(routerSerialNumber);
  SpecPtr found(aDiscovery_FindModule(type, routerSerialNumber, kEveryInterface));
  if (found == nullptr) return devices;
  Log::log(DEBUG_Updater, "Found Link Module");

  Module router(kProbeModuleAddress, 0);
  if (_disableEther(router, display) != aErrNone) return devices;
  aErr err = router.connectFromSpec(*found);
  if (err != aErrNone) {
    display.message(ERROR, "Error %d on connectFromSpec", err);
    return devices;
  }
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(ERROR, "Error %d on route to me", err);
    router.disconnect();
    return devices;
  }
  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(kBusSpeed);
  const uint8_t own = router.getModuleAddress();
  for (unsigned a = 2; a <= kLastBusAddress; a += 2) {
    uint8_t address = static_cast<uint8_t>(a);
    if (address == own) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[] = {0x00, 0x00};
    if (bus.write(address, sizeof probe, probe) != aErrNone) continue;
    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    DeviceInfo entry;
    if (_probe_network_device(router, *found, type, routerSerialNumber, address, display, &entry))
      devices.push_back(std::move(entry));
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
