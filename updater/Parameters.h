#pragma once
#include <cstdint>
#include <string>

// Commands that the command line can ask for; several may be set at once.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x1,
  CMD_UPDATE = 0x2,
  CMD_LIST_BUILDS = 0x4,
  CMD_GET_BUILD = 0x8,
  CMD_STORED_INFO = 0x10,  // counts as a command, runs nothing
  CMD_CHECK_BIRD = 0x20,   // counts as a command, runs nothing
  CMD_FINGERPRINT = 0x40,
  CMD_OPTION_Z = 0x80,  // counts as a command, runs nothing
  CMD_LIST_LOCAL_BUILDS = 0x200,
  CMD_HELP = 0x80000000u,
};

// Every command bit, help included.
constexpr uint32_t CMD_ANY = CMD_DISCOVER | CMD_UPDATE | CMD_LIST_BUILDS | CMD_GET_BUILD | CMD_STORED_INFO |
                             CMD_CHECK_BIRD | CMD_FINGERPRINT | CMD_OPTION_Z | CMD_LIST_LOCAL_BUILDS | CMD_HELP;

class CommandsClass {
 public:
  CommandsClass() : bits(0) {}
  void Set(uint32_t command) { bits |= command; }
  // True when any bit of the mask is set.
  bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
  uint32_t Bits() const { return bits; }

 private:
  uint32_t bits;
};

// Everything the command line can say. The option reader sets the defaults.
struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;
  uint32_t routerSerialNumber = 0;
  uint32_t transport = 0;  // 1 USB, 2 TCP/IP, 255 recovery
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 0;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string logMessage;
  std::string build;  // decimal build number; empty for the newest
  bool echo = false;
  std::string serverUrl;
  bool nFlag = false;
  std::string storageDirectory;
  std::string programName;
  std::string logFile;
  bool overrideChecks = false;
  bool useUEIBytes = false;
  uint32_t logMask = 0;
  bool logMaskGiven = false;
  bool help = false;
};

// The transport value that selects recovery through the boot loader.
constexpr uint32_t TRANSPORT_RECOVER = 255;

// Hook for checks across options; there are none.
int _validate_params(Parameters* params);
// Release hook of the record; it holds nothing but its texts.
int _release_params(Parameters* params);
