// The process-wide lock around the messaging library's network-interface setting, which its
// beacon actor reads when it is configured. Whoever changes the setting and then configures a
// beacon actor holds the lock from before the change until the actor is configured, so no
// other thread changes the setting in between. The lock is not recursive: a thread that holds
// it must not take it again.
#pragma once

// Acceptable interface texts: a dotted IPv4 address, the empty text (the first broadcast
// interface) or "*" (every interface).
//
// setAndLock: 1 after taking the lock and setting the interface to the text; 0, taking no lock
// and setting nothing, for an unacceptable text (null, an interface name, anything else).
int zBeaconInterface_setAndLock(const char* text);

// Releases the lock.
void zBeaconInterface_unlock();

// As setAndLock, and saves the setting it replaces for zBeaconInterface_restoreAndUnlock.
int zBeaconInterface_backupSetAndLock(const char* text);

// Sets the interface back to the saved text and releases the lock. Only after a
// backupSetAndLock that returned 1, by the same thread.
void zBeaconInterface_restoreAndUnlock();

// The current setting (the messaging library's text, valid until the setting next changes: take
// the lock to read it stably). getAndLock takes the lock first; the caller unlocks.
const char* zBeaconInterface_get();
const char* zBeaconInterface_getAndLock();

// The text saved by the last backupSetAndLock ("" before the first); getBackupAndLock takes the
// lock first; the caller unlocks.
const char* zBeaconInterface_getBackup();
const char* zBeaconInterface_getBackupAndLock();
