#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

// The application's own lines, all at the information level.

// "Updater (Version: 2.12.5 Mmm dd yyyy)" with the build date.
void _display_app_version(UpdaterDisplayInterface& display);
// The line that follows the version line when usage is shown.
void _display_banner(UpdaterDisplayInterface& display);
// The build map newest version first, or "No builds found for device [%08X]".
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
// Heading by link type (1 USB, 2 TCPIP, else Unknown with the address column), then one line per device.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);
