#pragma once
// The fingerprint and recovery workflows (Updater::Get_Fingerprint, Updater::Recover_Firmware)
// talk to a chip below its firmware: the ISP boot loader of an LPC17xx on a serial port, or the
// boot ROM of an i.MX RT1050 (serial download over a tty or USB HID) into which a recovery
// loader is written; the loader then comes up on USB as a device of the family.
#include <cstdint>

namespace Recovery {

// The serial number under which the default recovery loader is stored and served, and under
// which a started loader may present itself on USB.
constexpr uint32_t kPlaceholderSerial = 0xDEADDEAD;
// Tries to find a started recovery loader on USB, one second apart.
constexpr int CONNECT_ATTEMPTS = 15;
constexpr uint32_t kConnectPauseMs = 1000;
// The system entity's option holding the chip identifier, subindexes 0 to 3.
constexpr uint8_t systemUniqueIdentifier = 0x27;

// Updater::chipFamily as the last fingerprint found it.
constexpr uint8_t kFamilyImx = 1;
constexpr uint8_t kFamilyLpc = 2;

// LPC programming: the fingerprint synchronises at this rate; the largest piece written to RAM
// and copied to flash at once; the sectors unlocked, prepared and erased first.
constexpr unsigned kSyncBaud = 115200;
constexpr unsigned kChunkSize = 4096;
constexpr unsigned kFirstSector = 0;
constexpr unsigned kLastSector = 29;

}  // namespace Recovery
