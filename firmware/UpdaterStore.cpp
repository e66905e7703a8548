#include "firmware/UpdaterStore.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/aDirectory.h"
#include "common/aFile.h"
#include "firmware/Log.h"
#include "firmware/ReplaceFile.h"

namespace {

constexpr uint16_t _folder_mode = 0755;

struct Search {
  const char* wanted;
  bool whole;  // the name must be wanted itself, not merely contain it
  bool found;
  UpdaterStoreItem* item;
};

std::string _serial_name(uint32_t serial) {
  char name[9];
  snprintf(name, sizeof name, "%08X", serial);
  return name;
}

std::string _entry_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string _entry_folder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool _is_dot_entry(const std::string& name) { return name == "." || name == ".."; }

store_item_t _item_type(const aDirectoryListData* entry) {
  return entry->isDirectory ? STORE_ITEM_FOLDER : STORE_ITEM_FILE;
}

std::string _item_settings_path(const std::string& base, const std::string& name) {
  return BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

void _ensure_directory(const std::string& path) {
  if (aDirectory_Exists(path.c_str())) {
    Log::log(Log::DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  if (aFile_Exists(path.c_str())) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  }
  aErr err = aDirectory_Ensure(path.c_str(), _folder_mode);
  if (err != aErrNone) {
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(err));
  }
  Log::log(Log::DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool _find_item(const aDirectoryListData* entry, void* ref) {
  Search* search = static_cast<Search*>(ref);
  Log::log(Log::DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), search->wanted);
  std::string name = _entry_name(entry->path);
  const bool matches = search->whole ? name == search->wanted : name.find(search->wanted) != std::string::npos;
  if (_is_dot_entry(name) || !matches) return true;
  search->found = true;
  if (search->item != nullptr) {
    UpdaterStoreItem& item = *search->item;
    item.base = _entry_folder(entry->path);
    item.name = name;
    item.type = _item_type(entry);
    item.settings.Load(_item_settings_path(item.base, item.name).c_str());
  }
  return false;
}

bool _find_items(const aDirectoryListData* entry, void* ref) {
  auto* items = static_cast<std::vector<UpdaterStoreItem>*>(ref);
  Log::log(Log::DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, static_cast<int>(entry->isDirectory),
           static_cast<int>(entry->size));
  std::string name = _entry_name(entry->path);
  if (!name.empty() && name[0] != '.') {
    items->emplace_back(_entry_folder(entry->path).c_str(), name.c_str(), _item_type(entry));
  }
  return true;
}

// Lists the folder looking for the entry named `wanted` (whole) or whose name contains it.
bool _search(const std::string& folder, const char* wanted, bool whole, UpdaterStoreItem* item) {
  if (wanted == nullptr) return false;
  Search search{wanted, whole, false, item};
  aDirectory_List(folder.c_str(), _find_item, &search);
  Log::log(Log::DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search.found ? "Found" : "Not Found", wanted);
  return search.found;
}

}  // namespace

std::string BuildPath(const char* first, ...) {
  std::string path = first ? first : "";
  va_list parts;
  va_start(parts, first);
  while (const char* part = va_arg(parts, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(parts);
  return path;
}

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const char* base_, const char* name_, store_item_t type_)
    : base(base_ ? base_ : ""), name(name_ ? name_ : ""), type(type_) {
  settings.Load(_item_settings_path(base, name).c_str());
}

bool UpdaterStoreItem::IsValid() const { return !base.empty() && !name.empty(); }

bool UpdaterStoreItem::FileExists(const char* fileName) const {
  return _search(BuildPath(base.c_str(), name.c_str(), nullptr), fileName, false, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* bytes, size_t count) {
  if (bytes == nullptr) return aErrNotFound;
  std::string path = BuildPath(base.c_str(), name.c_str(), fileName, nullptr);
  return ReplaceFile(path, [&](aFile* file) {
    size_t written = 0;
    return aFile_Write(file, bytes, count, &written) == aErrNone && written == count;
  });
}

std::string UpdaterStoreItem::FolderPath() const { return BuildPath(base.c_str(), name.c_str(), nullptr); }

std::string UpdaterStoreItem::PathOf(const char* fileName) const {
  return BuildPath(base.c_str(), name.c_str(), fileName, nullptr);
}

StoreLock UpdaterStoreItem::LockFolder() const {
  return StoreLock(PathOf(STORE_LOCK_FILE), StoreLock::Wait::untilFree);
}

StoreLock UpdaterStoreItem::TryLockUpdate() const {
  return StoreLock(PathOf(UPDATE_LOCK_FILE), StoreLock::Wait::not_at_all);
}

void UpdaterStoreItem::ReloadSettings() { settings = KeyValueStore(_item_settings_path(base, name).c_str()); }

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
  std::string path = BuildPath(base.c_str(), name.c_str(), fileName, nullptr);
  if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path.c_str());
}

UpdaterStore::UpdaterStore(const char* root_) : root(root_ ? root_ : "") { _ensure_directory(root); }

const char* UpdaterStore::BasePath() const { return root.c_str(); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(_serial_name(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  _ensure_directory(BuildPath(root.c_str(), name, nullptr));
  return UpdaterStoreItem(root.c_str(), name, STORE_ITEM_FOLDER);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
  return FindDevice(_serial_name(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  // Only the folder of exactly that name: "0012ABCD.old" is no entry of 0012ABCD.
  return _search(root, name, true, item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (FindDevice(serial, &device)) {
    aDirectory_List(BuildPath(device.base.c_str(), device.name.c_str(), nullptr).c_str(), _find_items, &items);
  }
  return true;
}
