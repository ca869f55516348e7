// The update command: one running device brought to a firmware build.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BuildNumberText.h"
#include "CreateUpdaterStore.h"
#include "DeviceSearch.h"
#include "DisableEther.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdateTransfer.h"
#include "Updater.h"
#include "unix_time.h"

using Tavrin::Corvantis::Module;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// A build recorded in the settings ("1234.bird" reads as 1234); anything else, a negative
// number included, is none.
uint32_t sRecordedBuild(KeyValueStore& settings, const char* key) {
  int value = settings.GetInt(key, 0);
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

// The server's newest build when it is stored, else the newest downloaded or transferred
// one; 0 for none.
uint32_t _choose_build(UpdaterDisplayInterface& display, const std::string& url, uint32_t serial,
                       UpdaterStoreItem& device) {
  std::string newest, version;
  // A server that cannot answer leaves the text empty: the conversion says so.
  (void)UpdateServerRequest::QueryBuild(serial, newest, version, url.c_str());
  uint32_t build = 0;
  if (!_server_build_number(newest, &build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", newest.c_str());
    build = 0;
  }
  if (build != 0) {
    // An entry without a folder holds nothing: asking the disk would read the root's files.
    bool stored = false;
    if (device.IsValid()) {
      try {
        (void)device.ReadBirdFile((std::to_string(build) + ".bird").c_str());
        stored = true;
      } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "Update_Firmware: %s\n", e.what());
      }
    }
    if (!stored) {
      build = 0;
      display.message(INFO, "%s", "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    }
  }
  if (build == 0 && (build = sRecordedBuild(device.settings, "LATEST_DOWNLOAD")) != 0)
    display.message(INFO, "%s", "Updating with the Latest Download");
  if (build == 0 && (build = sRecordedBuild(device.settings, "LATEST_TRANSFER")) != 0)
    display.message(INFO, "%s", "Updating with the Latest Transfer");
  return build;
}

// Connects `device` to the device with `serial` on the network of the routing module `router`.
// False when the run is over (its message shown); otherwise *result holds the connection's code.
bool _connect_routed(Updater& updater, UpdaterDisplayInterface& display, Module& device, uint32_t serial,
                     uint8_t moduleAddress, uint32_t router, aErr* result) {
  if (moduleAddress == 0) {
    std::vector<DeviceInfo> found = updater.Discover_QLNetwork_Devices(router, static_cast<linkType>(0));
    if (found.empty()) {
      display.message(ERROR, "%s", "Unable to find modules on Network");
      return false;
    }
    uint16_t address = 0;
    for (const DeviceInfo& each : found)
      if (each.spec.serialNumber == serial) address = each.networkAddress;
    if (address == 0) {
      display.message(ERROR,
                      "Module address required for indirect firmware update, could not find serial number "
                      "[0x%08X] on network",
                      serial);
      return false;
    }
    moduleAddress = static_cast<uint8_t>(address);
  }
  device.setModuleAddress(moduleAddress);

  Module routing(0, 0);
  *result = _disableEther(routing, display);
  if (*result != aErrNone) return true;
  aErr err = routing.connect(USB, router);
  if (err == aErrNotFound) err = routing.connect(TCPIP, router);
  if (err != aErrNone) {
    display.message(ERROR, "Failed to connect to link module [%08X]", router);
    return false;
  }
  *result = device.connectThroughLinkModule(&routing);
  if (*result != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
  // The routing Module goes; the link it opened stays in use by the device's.
  return true;
}

// Finds the device again after its link dropped while the loader started, over the transport
// it dropped from.
aErr _search_loader(Module& device, uint32_t serial) {
  linkSpec spec{};
  linkType type = USB;
  if (device.getLinkSpecifier(&spec) == aErrNone && spec.type == TCPIP) type = TCPIP;
  // No USB link of this process stays open: the search may refresh the USB context.
  device.disconnect();
  DeviceSearch search(DeviceSearch::UpdateLoader(type, serial), DeviceSearch::DiscoverAndConnect(device));
  return search.Run().error;
}

// Records the transfer; a device without a store folder gets one first. A save that fails is
// logged: the device has its firmware all the same.
void _record_transfer(UpdaterStore& store, UpdaterStoreItem& device, uint32_t serial, const std::string& path) {
  if (!device.IsValid() || device.type != STORE_ITEM_DIRECTORY) {
    try {
      device = store.AddDevice(serial);
    } catch (const std::runtime_error& e) {
      Log::log(DEBUG_Updater, "Update_Firmware: the transfer is not recorded: %s\n", e.what());
      return;
    }
  }
  device.settings.Add("LATEST_TRANSFER", path);
  device.settings.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp());
  device.settings.Save(nullptr);
  if (device.settings.IsDirty()) Log::log(DEBUG_Updater, "Update_Firmware: the transfer is not recorded\n");
}

}  // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool overrideChecks) {
  if (serialNumber == 0) {
    display.message(ERROR, "%s", "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updaterDir, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem device;
  (void)store->FindDevice(serialNumber, &device);
  // A steady clock: a change of the system clock must not show in the elapsed time.
  const uint64_t start = aTime_GetMonotonicMS();

  if (birdFile.empty() && build == 0) {
    build = _choose_build(display, serverUrl, serialNumber, device);
    if (build == 0) {
      display.message(ERROR, "%s", "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile image;
  try {
    image = load_bird("Updating", birdFile, serialNumber, build, false);
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_Updater, "Update_Firmware: %s\n", e.what());
    display.message(ERROR, "%s", "Failed to load bird file");
    return false;
  }
  if (image.hasSerialBlock) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!image.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(ERROR, "%s", "Unable to modify serial number in bird");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }
  // Nothing to write: a success here would record a transfer that never happened.
  if (image.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    display.message(ERROR, "%s", "Birdfile failed validation");
    return false;
  }

  Module module(moduleAddress, 0);
  aErr result = _disableEther(module, display);
  if (result == aErrNone) {
    if (routerSerialNumber != 0) {
      if (!_connect_routed(*this, display, module, serialNumber, moduleAddress, routerSerialNumber, &result))
        return false;
    } else {
      result = module.connect(USB, serialNumber);
      if (result == aErrNotFound) result = module.connect(TCPIP, serialNumber);
      if (result != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
    }
  }

  if (result == aErrNone && !overrideChecks && !_validate_birdfile(display, image, module, serialNumber)) {
    display.message(ERROR, "%s", "Birdfile failed validation");
    return false;
  }
  if (result == aErrNone) result = _transfer_loader(display, module, image);
  if (result == aErrNone && !module.isConnected()) {
    result = _search_loader(module, serialNumber);
    if (result != aErrNone)
      display.message(ERROR, "Failed to transfer firmware at loader search [%d, %s]", result,
                      aError_GetErrorText(result));
  }
  if (result == aErrNone)
    result = _transfer_firmware(display, module, image, routerSerialNumber != 0, useUEIBytes);

  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", result);
    return false;
  }
  _record_transfer(*store, device, serialNumber, birdFile.empty() ? std::to_string(build) + ".bird" : birdFile);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(INFO, "Update time: %.4f sec", static_cast<double>(aTime_GetMonotonicMS() - start) / 1000.0);
  return true;
}
