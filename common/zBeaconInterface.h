// Guard of CZMQ's process-wide beacon interface setting. A beacon takes the
// interface when it is configured, so whoever configures one sets the
// interface and holds this lock until the beacon is configured; discovery
// holds it for its whole beacon run.
#pragma once

#include <string>

// Characters reserved for the saved setting before its first use.
inline constexpr size_t _BACKUP_CAPACITY = 100;

// Takes the lock and sets the interface. False, without locking or setting
// anything, unless the text is an IPv4 address, "" or "*".
bool zBeaconInterface_setAndLock(const char* interfaceText);
// Releases the lock.
void zBeaconInterface_unlock(void);

// As set-and-lock, but first saves the current setting.
bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
// Puts the saved setting back and releases the lock.
void zBeaconInterface_restoreAndUnlock(void);

// The current setting, without locking.
std::string zBeaconInterface_get(void);
// Locks and returns the current setting; the caller unlocks.
std::string zBeaconInterface_getAndLock(void);
// The saved setting; the second form also locks (the caller unlocks).
std::string zBeaconInterface_getBackup(void);
std::string zBeaconInterface_getBackupAndLock(void);
