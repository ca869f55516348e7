#include "Listings.h"

#include <cstdio>
#include <cstring>

#include "UpdateServerRequest.h"
#include "aDefs.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const char* const kAppVersion = "2.12.5";

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
  // __DATE__ is "Mmm dd yyyy" with the day padded by a blank.
  std::string version = std::string("Version: ") + kAppVersion + " " + __DATE__;
  display.message(INFO, "%s (%s)", "Updater", version.c_str());
}

void _display_banner(UpdaterDisplayInterface& display) {
  display.message(INFO, "%s", "Corvantis Update and Maintenance Application");
}

void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serialNumber) {
  if (builds.empty()) {
    display.message(INFO, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
  display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) {
    display.message(INFO, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
  }
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp) {
  display.message(INFO, "[ %08X %08X %08X %08X ]", fp.word[0], fp.word[1], fp.word[2], fp.word[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type) {
  const char* kind = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
  display.message(INFO, "Discovered Devices: (%s)", kind);
  if (devices.empty()) {
    display.message(INFO, "%s", "    No devices found.");
    return;
  }
  if (type == USB) {
    display.message(INFO, "%s",
                    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  } else {
    display.message(INFO, "%s",
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                    "Device Name");
  }
  for (const DeviceInfo& d : devices) {
    const linkSpec& s = d.spec;
    const char* model = aDefs_GetModelName(s.model & 0xFF);
    if (s.type == TCPIP) {
      uint8_t ip[4];
      memcpy(ip, &s.ipv4Address, sizeof(ip));  // network order: first octet first in memory
      char address[24];
      snprintf(address, sizeof(address), "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", s.serialNumber,
                      s.moduleAddress & 0xFF, s.routerAddress & 0xFF, model, d.versionMajor, d.versionMinor,
                      static_cast<int>(d.versionPatch), d.build, address, d.deviceName.c_str());
    } else if (d.error != 0) {
      display.message(INFO,
                      "    %08X  [Error (%d): Device in use. Close all other Tavrin associated applications.]",
                      s.serialNumber, static_cast<int>(d.error));
    } else {
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", s.serialNumber,
                      s.moduleAddress & 0xFF, s.routerAddress & 0xFF, model, d.versionMajor, d.versionMinor,
                      static_cast<int>(d.versionPatch), d.build, d.deviceName.c_str());
    }
  }
}
