#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SimNetwork.h"

// The module network's tables as command-line options, for corvantis-devsim:
//   --module A                   a module behind the device at address A
//   --build [A:]N                build number of the module at A (default: the device's)
//   --entity A:C:O:I[:S]=W:V     entity (command C, option O, index I, subindex S) of module A:
//                                width W 0, 1, 2 or 4 and value V, or W "b" and V hex bytes
//   --slot A:S:L:CAP[=HEX]       store S, slot L of module A with capacity CAP and contents
//   --factory A:K=HEX            factory data of kind K of module A
//   --system A                   the system entity (command 3, index 0) of module A with the
//                                kit's values (SimSystemEntity.h); the options below, given
//                                after it, change single values of it:
//   --serial A:N  --model A:N  --version A:N  --module-address A:N  --router A:N
//   --name A:TEXT                serial number, model, packed version, the module address and
//                                router address the module reports, and its name
//   --i2c A:B:ADDR=HEX[:STATUS]  a slave at 8-bit address ADDR on I2C bus B of module A that
//                                reads return HEX from, answering with the status byte
//   --build-reply A:LEN          the build reply of module A cut to LEN payload bytes (5: one short)
//   --features A:N               the protocol features the system entity of module A reports
//   --uei-data A:N               module A's answer to whether it takes firmware data as a byte
//                                sequence (0: it does)
//   --block-size A:N  --load-reply A:0|1  --load-base A:N
//                                the upgrade entity of module A: its block size, whether it
//                                answers LOAD, the load base INIT reports
//   --upgrade-fault A:SUB:KIND[:VALUE[:TIMES[:AFTER]]]
//                                a fault of module A's upgrade entity on sub-command SUB (10: the
//                                byte-sequence data), KIND one of noreply, late, status,
//                                wrongcount, wrongsum, short, blocksize0, vanish (SimUpgradeEntity.h)
// Numbers are decimal or 0x hexadecimal.
using SimNetworkSetting = std::function<void(SimNetwork&)>;

// The setting one option makes; nullopt for an unknown name or a malformed value. `device` is
// read when the setting is applied (the device's own address may come later on the line).
std::optional<SimNetworkSetting> SimNetworkOption(const std::string& name, const std::string& value, uint8_t* device);

// A number up to max, decimal or 0x hexadecimal; an even module address other than 0.
std::optional<uint32_t> SimOptionNumber(const std::string& text, uint32_t max);
std::optional<uint8_t> SimOptionModuleAddress(const std::string& text);
// The parts of text between the separators, empty ones included ("a,,b": "a", "", "b").
std::vector<std::string> SimOptionSplit(const std::string& text, char at);
