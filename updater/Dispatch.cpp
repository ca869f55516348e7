#include "Dispatch.h"

#include <cstdlib>
#include <exception>
#include <string>

#include "Listings.h"
#include "Recovery.h"
#include "Usage.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

int sDiscover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  linkType type = static_cast<linkType>(0);
  if (p.transportGiven && p.transport != TRANSPORT_RECOVER) type = static_cast<linkType>(p.transport);
  bool ok = false;
  std::vector<DeviceInfo> devices;
  if (p.routerSerialNumber != 0) {
    display.message(INFO, "Searching for Corvantis Network devices connected to %08X", p.routerSerialNumber);
    devices = updater.Discover_QLNetwork_Devices(p.routerSerialNumber, type, &ok);
  } else {
    display.message(INFO, "%s", "Searching for Corvantis devices");
    if (type == 0) type = USB;
    devices = updater.Discover_Devices(type, &ok);
  }
  // A search that could not run is a failure, not an empty list.
  if (!ok) return 1;
  _display_device_list(display, devices, type);
  return 0;
}

int sUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  uint32_t build = p.build.empty() ? 0 : static_cast<uint32_t>(strtoul(p.build.c_str(), nullptr, 10));
  updater.Set_UEIBytes_Load(p.useUEIBytes);
  bool done;
  if (p.transport == TRANSPORT_RECOVER) {
    done = updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile, p.overrideChecks);
  } else {
    if (p.serialNumber == 0) {
      display.message(ERROR, "%s", "Must specify the specific device to be updated");
      return 1;
    }
    done = updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress, p.routerSerialNumber,
                                   p.overrideChecks);
  }
  return done ? 0 : 1;
}

int sListBuilds(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, bool local) {
  if (p.serialNumber == 0) {
    display.message(ERROR, "%s",
                    local ? "Error must supply a serial number for the List Local Builds command"
                          : "Error must supply a serial number for the List Builds command");
    _display_usage(false, false);
    return 1;
  }
  bool ok = false;
  Updater::BuildMap builds =
      local ? updater.Get_BuildListLocal(p.serialNumber, &ok) : updater.Get_BuildList(p.serialNumber, &ok);
  // A list that could not be had is a failure; an empty list is an answer.
  if (!ok) return 1;
  _display_builds(display, builds, p.serialNumber);
  return 0;
}

}  // namespace

int _run_commands(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  int pending = 0;

  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    if (p.serialPort.empty()) {
      display.message(ERROR, "%s", "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint = {{0, 0, 0, 0}};
    if (updater.Get_Fingerprint(fingerprint, p.serialPort, Recovery::kPlaceholderSerial, p.birdFile, p.baudRate,
                                true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(ERROR, "%s", "Got no response from chip");
      pending = 1;
    }
  }

  if (p.commands.IsSet(CMD_GET_BUILD)) {
    if (p.serialNumber == 0) {
      display.message(ERROR, "%s", "-G must specify a specific device via -d");
      display.message(ERROR, "%s", "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", p.serialNumber);
    if (p.build.empty()) {
      display.message(INFO, "%s", "No build specified");
      display.message(INFO, "%s", "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", p.build.c_str());
    }
    uint32_t fetched = updater.Download_Firmware(p.serialNumber, p.build, p.overrideChecks, false);
    if (fetched != 0) {
      p.build = std::to_string(fetched);  // a following update uses the build just stored
      pending = 0;
    } else {
      pending = 1;
    }
  }

  if (p.commands.IsSet(CMD_DISCOVER)) return sDiscover(p, updater, display);
  if (p.commands.IsSet(CMD_UPDATE)) return sUpdate(p, updater, display);
  if (p.commands.IsSet(CMD_LIST_BUILDS)) return sListBuilds(p, updater, display, false);
  if (p.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) return sListBuilds(p, updater, display, true);

  _release_params(&p);
  return pending;
}

int _run_guarded(UpdaterDisplayInterface& display, const std::function<int()>& run) {
  try {
    return run();
  } catch (const std::exception& e) {
    display.message(ERROR, "Error: %s", e.what());
  } catch (...) {
    display.message(ERROR, "%s", "Error: unknown failure");
  }
  return 1;
}
