#include "firmware/FirmwareSource.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "firmware/UpdaterText.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

}  // namespace

using namespace UpdaterRoutines;

FirmwareSource::FirmwareSource(std::string url, std::string root, UpdaterDisplayInterface& userDisplay)
    : serverUrl(std::move(url)), storeDir(std::move(root)), display(userDisplay) {}

std::unique_ptr<UpdaterStore> UpdaterRoutines::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                                   const std::string& root, const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(root.c_str());
  } catch (const std::runtime_error& failure) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                    caller, failure.what());
    return nullptr;
  }
}

std::optional<StoreLock> UpdaterRoutines::_lock_module_update(UpdaterDisplayInterface& display,
                                                              const UpdaterStoreItem& device, uint32_t serialNumber) {
  StoreLock updating = device.TryLockUpdate();
  if (updating.held()) return std::optional<StoreLock>(std::move(updating));
  if (updating.busy()) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "another update of module [%08X] is running", serialNumber);
  } else {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not take the update lock of module [%08X]: %s",
                    serialNumber, std::strerror(updating.reason()));
  }
  return std::nullopt;
}

BirdFile FirmwareSource::load_bird(const char* verb, std::string file, uint32_t serialNumber, uint32_t build,
                                   bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "load_bird");
  if (!store) return BirdFile();
  if (!file.empty()) {
    display.message(kInfo, "%s from Birdfile: %s", verb, file.c_str());
    std::string why;
    if (!BirdFile::IsReadableFile(file.c_str(), &why)) {
      display.message(kError, "Bird file %s is %s", file.c_str(), why.c_str());
      throw std::runtime_error("Failed to load bird data");
    }
    return BirdFile(file.c_str());
  }
  UpdaterStoreItem device = store->AddDevice(serialNumber);
  display.message(kInfo, "%s firmware with build: %u", verb, build);
  try {
    return device.ReadBirdFile(build_file_name(build).c_str());
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(kInfo, "Downloading firmware build %u", build);
  // The download may store another build than the one asked for (the server's newest when the
  // asked one is 0): read the one it stored, not a stale file of the asked number.
  const uint32_t stored = Download_Firmware(serialNumber, std::to_string(build), false, false);
  if (stored != 0) build = stored;
  return device.ReadBirdFile(build_file_name(build).c_str());
}
