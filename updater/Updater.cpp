#include "updater/Updater.h"

#include <cstring>
#include <stdexcept>
#include <utility>

using namespace UpdaterRoutines;

using Tarnwick::Quillfern::Module;
using Tarnwick::Quillfern::OrvaneConfig;

DeviceInfo::DeviceInfo() { std::memset(&spec, 0, sizeof spec); }

Updater::Updater(std::string url, std::string root, UpdaterDisplayInterface& userDisplay)
    : serverUrl(std::move(url)), storeDir(std::move(root)), display(userDisplay) {}

Updater::~Updater() = default;

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

aErr UpdaterRoutines::_disableEther(Module& module, UpdaterDisplayInterface& display) {
  OrvaneConfig direct;  // port 0 and interface 127.0.0.1 as constructed
  direct.enabled = 0;
  direct.fallback = 0;
  direct.localOnly = 1;
  const aErr result = module.setConfig(direct);
  if (result != aErrNone) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  return result;
}
