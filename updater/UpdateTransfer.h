#pragma once
// The steps of a firmware update that other workflows share: the image checked against the
// connected device, the loader phase and the firmware phase of the upgrade entity. Each phase
// logs its own lines and, when it fails, says on the display at which exchange
// ("Failed to transfer firmware at <step> [code, name]").
#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// True when the image fits the device: blocks at all; the device's serial number in the
// descriptor unless the image takes the serial number in; the serial number and model the
// device reports.
bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& image, Tavrin::Corvantis::Module& module,
                        uint32_t serialNumber);

// INIT, every loader block (PREPARE, DATA, SUM), then LOAD; LOAD only once every loader block
// went through. A LOAD time-out counts as success: the device may restart into the loader.
aErr _transfer_loader(UpdaterDisplayInterface& display, Tavrin::Corvantis::Module& module, const BirdFile& image);

// Every firmware block (PREPARE, then its pieces: DATA or one UEI sequence, SUM, WRITE), up to
// five attempts per block while the device stays connected, then REBOOT. useUEIData lets the
// device take the data as UEI sequences when it says it can; routed: the device is reached
// through a routing module, whose link stays up when the device reboots.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Tavrin::Corvantis::Module& module, const BirdFile& image,
                        bool routed, bool useUEIData);
