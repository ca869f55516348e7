#include "aBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "aDebug.h"

namespace {

constexpr uint32_t kBeaconLockTrace = 0x200;

// Held from one call to another, so a plain mutex rather than a scoped guard.
std::mutex _interfaceLock;
// A string, not a fixed buffer: the setting it saves may be of any length (ZSYS_INTERFACE).
std::string _backupInterface;

void sTrace(const char* format, const char* function) {
  if (aCorvantisDebuggingEnable && (aCorvantisDebuggingLevel & kBeaconLockTrace) != 0) {
    printf(format, function);
    fflush(stdout);
  }
}

bool _isValidIpAddress(const char* text) {
  struct in_addr address;
  return inet_pton(AF_INET, text, &address) == 1;
}

bool _isValidBeaconConfig(const char* text) {
  return text != nullptr && (text[0] == '\0' || strcmp(text, "*") == 0 || _isValidIpAddress(text));
}

void sLock(const char* function) {
  sTrace("%s PRE-LOCK\n", function);
  _interfaceLock.lock();
  sTrace("%s LOCKED\n", function);
}

const char* sCurrent() {
  const char* current = zsys_interface();
  return current != nullptr ? current : "";
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* interfaceText) {
  if (!_isValidBeaconConfig(interfaceText)) return false;
  sLock(__func__);
  zsys_set_interface(interfaceText);
  return true;
}

void zBeaconInterface_unlock() {
  sTrace("%s: UNLOCKING\n", __func__);
  _interfaceLock.unlock();
}

bool zBeaconInterface_backupSetAndLock(const char* interfaceText) {
  if (!_isValidBeaconConfig(interfaceText)) return false;
  sLock(__func__);
  if (_backupInterface.capacity() < 100) {
    sTrace("%s Reserving memory for _backupInterface\n", __func__);
    _backupInterface.reserve(100);
  }
  _backupInterface = sCurrent();
  zsys_set_interface(interfaceText);
  return true;
}

void zBeaconInterface_restoreAndUnlock() {
  zsys_set_interface(_backupInterface.c_str());
  sTrace("%s UNLOCKING\n", __func__);
  _interfaceLock.unlock();
}

const char* zBeaconInterface_get() { return sCurrent(); }

const char* zBeaconInterface_getAndLock() {
  sLock(__func__);
  return sCurrent();
}

const char* zBeaconInterface_getBackup() { return _backupInterface.c_str(); }

const char* zBeaconInterface_getBackupAndLock() {
  sLock(__func__);
  return _backupInterface.c_str();
}
