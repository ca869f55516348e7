#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "SimNetwork.h"

// The module network's tables as command-line options, for corvantis-devsim:
//   --module A                   a module behind the device at address A
//   --build [A:]N                build number of the module at A (default: the device's)
//   --entity A:C:O:I[:S]=W:V     entity (command C, option O, index I, subindex S) of module A:
//                                width W 0, 1, 2 or 4 and value V, or W "b" and V hex bytes
//   --slot A:S:L:CAP[=HEX]       store S, slot L of module A with capacity CAP and contents
//   --factory A:K=HEX            factory data of kind K of module A
// Numbers are decimal or 0x hexadecimal.
using SimNetworkSetting = std::function<void(SimNetwork&)>;

// The setting one option makes; nullopt for an unknown name or a malformed value. `device` is
// read when the setting is applied (the device's own address may come later on the line).
std::optional<SimNetworkSetting> SimNetworkOption(const std::string& name, const std::string& value, uint8_t* device);

// A number up to max, decimal or 0x hexadecimal; an even module address other than 0.
std::optional<uint32_t> SimOptionNumber(const std::string& text, uint32_t max);
std::optional<uint8_t> SimOptionModuleAddress(const std::string& text);
