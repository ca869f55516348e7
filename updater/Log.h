#pragma once
#include <cstdio>

// Diagnostic topics of the -X option.
enum LogTopic : unsigned {
  DEBUG_Updater = 0x1,
  DEBUG_History = 0x2,
  DEBUG_Attributes = 0x4,
  DEBUG_BirdFile = 0x8,
  DEBUG_Network_0x10 = 0x10,
  DEBUG_ServerComm = 0x20,
  DEBUG_Network = 0x100,
  DEBUG_Network_SR = 0x200,
  DEBUG_Network_FIRM = 0x400,
  DEBUG_NXPSerial = 0x1000,
  DEBUG_NXPSerial_E = 0x2000,
  DEBUG_NXPSerial_SR = 0x4000,
  DEBUG_APP = 0x10000,
  DEBUG_iMXSerial = 0x10000000,
};

// The application's diagnostic log. A line is written when its mask is 0 or shares a bit
// with the active topics; the formats carry their own line ends.
class Log {
 public:
  Log() {}
  ~Log() {}

  static void log(unsigned mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE* fh);
  static void ActivatePackage(unsigned mask);
  static void DeactivatePackage(unsigned mask);

  // Read by tests and by the option parser's extended help.
  static unsigned GetPackages() { return package_bitmask; }
  static FILE* GetOutput() { return fh; }

 private:
  static unsigned package_bitmask;
  static FILE* fh;
};
