#pragma once
// The message library's beacon interface setting is process-wide, and each zbeacon actor reads
// it when it is configured. One lock serialises every change of the setting together with the
// creation and configuration of the beacon that reads it.
//
// An interface text is accepted when it is a dotted IPv4 address, the empty text or "*"; any
// other text (an interface name, NULL) is refused: false, the lock free, the setting unchanged.

// Takes the lock and sets the interface; true when the text was accepted.
bool zBeaconInterface_setAndLock(const char* interfaceText);
// Releases the lock.
void zBeaconInterface_unlock();
// As setAndLock, after saving the current setting.
bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
// Puts the saved setting back and releases the lock.
void zBeaconInterface_restoreAndUnlock();
// The current setting, without the lock. The text lives until the setting next changes.
const char* zBeaconInterface_get();
// Takes the lock (left held for the caller), then the current setting.
const char* zBeaconInterface_getAndLock();
// The saved setting; the text lives until the next backup.
const char* zBeaconInterface_getBackup();
// Takes the lock (left held for the caller), then the saved setting.
const char* zBeaconInterface_getBackupAndLock();
