// The per-user firmware store: a root folder with one folder per module, named by its serial
// number ("%08X"), holding the bird files downloaded for it ("<build>.bird") and its settings
// file (".settings"). Each operation opens the store afresh; the files on disk are the only
// state that lasts. Objects are plain values for one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/aError.h"
#include "firmware/BirdFile.h"
#include "firmware/FileLock.h"
#include "firmware/KeyValueStore.h"

// Settings keys of a device folder.
inline constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
inline constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
inline constexpr const char* KEY_LATEST_TRANSFER = "LATEST_TRANSFER";
inline constexpr const char* KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";
inline constexpr const char* KEY_LAST_TRANSFER_VERSION = "LAST_TRANSFER_VERSION";

enum store_item_t : uint8_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_FOLDER = 1,
  STORE_ITEM_NONE = 2,
};

// Joins the texts of a list ended by a null argument with "/", as they are: a part that ends
// in "/" gives a doubled separator.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

// The store's locks between processes are file locks.
using StoreLock = FileLock;

// Lock files of a device folder (hidden, so never listed as builds): the store lock is held
// while the folder's files and its settings change; the update lock for a whole update or recovery.
inline constexpr const char* STORE_LOCK_FILE = ".store.lock";
inline constexpr const char* UPDATE_LOCK_FILE = ".update.lock";

// One entry of the store (a device folder, or a file inside one) and the entry's own settings,
// read from its path + "/.settings".
class UpdaterStoreItem {
 public:
  UpdaterStoreItem();
  UpdaterStoreItem(const char* base, const char* name, store_item_t type);

  bool IsValid() const;
  // True when an entry of this folder has a name containing fileName.
  bool FileExists(const char* fileName) const;
  // Replaces the file's contents in this folder as a whole (ReplaceFile): on any failure an
  // earlier file of that name is left as it was. Fails without bytes.
  aErr WriteFile(const char* fileName, const uint8_t* bytes, size_t count);
  // Loads a bird file of this folder. Throws std::runtime_error "Invalid bird <path>" when its
  // header is wrong, or "Failed to load bird data" when it cannot be loaded.
  BirdFile ReadBirdFile(const char* fileName) const;

  // The folder's path, and the path of a file inside it.
  std::string FolderPath() const;
  std::string PathOf(const char* fileName) const;
  // Waits for the folder's store lock: while it is held no other process changes the folder's
  // files or settings. Reload the settings under it before changing them.
  StoreLock LockFolder() const;
  // Tries the folder's update lock without waiting: held for the whole of an update or recovery
  // of the module, so that no other run sends the module anything meanwhile.
  StoreLock TryLockUpdate() const;
  // Reads the settings afresh from the folder's settings file.
  void ReloadSettings();

  std::string base;  // the folder holding the entry
  std::string name;  // the entry's own name
  store_item_t type = STORE_ITEM_NONE;
  KeyValueStore settings;
};

class UpdaterStore {
 public:
  // Creates the root with its missing parents when needed. Throws std::runtime_error when it
  // exists as a file or cannot be created.
  explicit UpdaterStore(const char* root);

  const char* BasePath() const;
  // The device's folder, created when missing (throws as the constructor does).
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const char* name);
  // The root entry of exactly that name; fills item when given.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
  bool FindDevice(const char* name, UpdaterStoreItem* item);
  // Appends one item per entry of the device's folder whose name does not begin with ".".
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

 private:
  std::string root;
};
