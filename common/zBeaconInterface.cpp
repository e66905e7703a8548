#include "common/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr size_t kBackupCapacity = 100;

std::mutex _interfaceLock;

// The setting a backupSetAndLock replaced. Reserved before its first use, so that saving a
// setting of ordinary length does not allocate while the lock is held.
std::string _backupInterface = [] {
  std::string text;
  text.reserve(kBackupCapacity);
  return text;
}();

bool _isValidIpAddress(const char* text) {
  in_addr address;
  return inet_pton(AF_INET, text, &address) == 1;
}

bool _isValidBeaconConfig(const char* text) {
  return text && (*text == '\0' || std::strcmp(text, "*") == 0 || _isValidIpAddress(text));
}

}  // namespace

int zBeaconInterface_setAndLock(const char* text) {
  if (!_isValidBeaconConfig(text)) return 0;
  _interfaceLock.lock();
  zsys_set_interface(text);
  return 1;
}

void zBeaconInterface_unlock() { _interfaceLock.unlock(); }

int zBeaconInterface_backupSetAndLock(const char* text) {
  if (!_isValidBeaconConfig(text)) return 0;
  _interfaceLock.lock();
  _backupInterface.assign(zsys_interface());
  zsys_set_interface(text);
  return 1;
}

void zBeaconInterface_restoreAndUnlock() {
  zsys_set_interface(_backupInterface.c_str());
  _interfaceLock.unlock();
}

const char* zBeaconInterface_get() { return zsys_interface(); }

const char* zBeaconInterface_getAndLock() {
  _interfaceLock.lock();
  return zsys_interface();
}

const char* zBeaconInterface_getBackup() { return _backupInterface.c_str(); }

const char* zBeaconInterface_getBackupAndLock() {
  _interfaceLock.lock();
  return _backupInterface.c_str();
}
