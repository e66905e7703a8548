// The update road: choosing and loading the build, connecting, and sending it to the module.
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/aTime.h"
#include "firmware/Log.h"
#include "firmware/UpdateServerRequest.h"
#include "firmware/UpdateSteps.h"
#include "firmware/UpdaterText.h"
#include "updater/Updater.h"

using namespace UpdateSteps;
using namespace UpdaterRoutines;

using Tarnwick::Quillfern::Module;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr uint32_t UPD = Log::DEBUG_Updater;

// The address of the module with the serial number on the router's bus: the last listed entry
// that names it; 0 (shown) when the bus is empty or does not hold it.
uint8_t _routed_address(Updater& updater, UpdaterDisplayInterface& display, const UpdateRoute& route) {
  const std::vector<DeviceInfo> found = updater.Discover_QFNetwork_Devices(route.router, UNSPECIFIED);
  if (found.empty()) {
    display.message(kError, "Unable to find modules on Network");
    return 0;
  }
  uint8_t address = 0;
  for (const DeviceInfo& device : found)
    if (device.spec.serialNumber == route.serialNumber) address = static_cast<uint8_t>(device.networkAddress);
  if (address == 0)
    display.message(kError,
                    "Module address required for indirect firmware update, could not find serial number [0x%08X] "
                    "on network",
                    route.serialNumber);
  return address;
}

// The newest build the server names, when the store already holds its file; else 0.
uint32_t _stored_server_build(UpdaterDisplayInterface& display, const UpdaterStoreItem& device, uint32_t serialNumber,
                              const std::string& url) {
  std::string newest;
  std::string firmware;
  UpdateServerRequest::QueryBuild(serialNumber, newest, firmware, url.c_str());
  const uint32_t build = build_or_zero(newest);
  if (build == 0) return 0;
  try {
    device.ReadBirdFile(build_file_name(build).c_str());
    return build;
  } catch (const std::runtime_error&) {
    display.message(kInfo, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    return 0;
  }
}

// The build to send when the caller named none: the server's newest when it is stored, else the
// latest download, else the latest transfer; 0 (shown) when there is none.
uint32_t _choose_build(UpdaterDisplayInterface& display, UpdaterStoreItem& device, uint32_t serialNumber,
                       const std::string& url) {
  uint32_t build = _stored_server_build(display, device, serialNumber, url);
  if (build == 0) {
    build = static_cast<uint32_t>(device.settings.GetInt(KEY_LATEST_DOWNLOAD, 0));
    if (build != 0) display.message(kInfo, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = static_cast<uint32_t>(device.settings.GetInt(KEY_LATEST_TRANSFER, 0));
    if (build != 0) display.message(kInfo, "Updating with the Latest Transfer");
  }
  if (build == 0) {
    device.settings.GetString(KEY_LAST_TRANSFER_VERSION, "");
    display.message(kError, "Could not find valid build for this device.");
  }
  return build;
}

// Patches the serial number into a file that carries serial-number blocks; false when it cannot.
bool _patch_serial_number(BirdFile& bird, uint32_t serialNumber) {
  if (!bird.hasSerialBlocks) return true;
  Log::log(UPD, "Setting serial number into firmware... ");
  if (!bird.ReplaceSerialNumber(serialNumber)) {
    Log::log(UPD, "Error: Unable to modify serial number in bird.\n");
    return false;
  }
  Log::log(UPD, " Serial Number inserted into firmware.\n");
  return true;
}

void _record_transfer(UpdaterStoreItem& device, const std::string& used) {
  const StoreLock lock = device.LockFolder();
  device.ReloadSettings();  // what a download noted meanwhile stays
  device.settings.Add(KEY_LATEST_TRANSFER, used);
  device.settings.Add(KEY_LAST_TRANSFER_DATE, date_text());
  device.settings.Save(nullptr);
}

}  // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string file, uint8_t moduleAddress,
                              uint32_t router, bool override) {
  if (serialNumber == 0) {
    display.message(kError, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem device;
  if (!store->FindDevice(serialNumber, &device)) {
    try {
      device = store->AddDevice(serialNumber);
    } catch (const std::runtime_error&) {
      display.message(kError, "Could not create directory for storing BIRD file");
      return false;
    }
  }
  const std::optional<StoreLock> updating = _lock_module_update(display, device, serialNumber);
  if (!updating) return false;
  const uint64_t started = aTime_GetMSTicks();

  if (file.empty() && build == 0) build = _choose_build(display, device, serialNumber, serverUrl);
  if (file.empty() && build == 0) return false;

  BirdFile bird;
  try {
    bird = load_bird("Updating", file, serialNumber, build, false);
  } catch (const std::runtime_error&) {
    display.message(kError, "Failed to load bird file");
    return false;
  }
  // A file without blocks would "update" nothing and be recorded as the latest transfer.
  if (bird.blockCount == 0) {
    display.message(kError, "Failed to load bird file");
    return false;
  }
  if (!_patch_serial_number(bird, serialNumber)) return false;

  UpdateRoute route;
  route.serialNumber = serialNumber;
  route.router = router;
  Module target(moduleAddress, 0);
  aErr err = _disableEther(target, display);
  if (err == aErrNone && router == 0) {
    err = connect_direct(target, serialNumber, route.transport);
    if (err != aErrNone) display.message(kError, "Failed to connect to module [%08X]", serialNumber);
  } else if (err == aErrNone) {
    if (moduleAddress == 0) {
      const uint8_t found = _routed_address(*this, display, route);
      if (found == 0) return false;
      target.setModuleAddress(found);
    }
    Module linkModule(0, 0);
    if (connect_link_module(display, linkModule, route) != aErrNone) return false;
    err = target.connectThroughLinkModule(&linkModule);
    if (err != aErrNone) display.message(kError, "Failed to connect to module [%08X]", serialNumber);
  }
  if (err == aErrNone && !override && !_validate_birdfile(display, bird, target, serialNumber)) {
    display.message(kError, "Birdfile failed validation");
    return false;
  }
  if (err == aErrNone) err = _transfer_loader(display, target, bird);
  if (err == aErrNone) err = reconnect_after_loader(display, target, route);
  if (err == aErrNone) err = _transfer_firmware(display, target, bird, router != 0, ueiBytesLoad);
  if (err != aErrNone) {
    Log::log(UPD, "Failed _transfer_firmware(): %d\n", err);
    return false;
  }

  _record_transfer(device, file.empty() ? build_file_name(build) : file);
  Log::log(UPD, "Updating device firmware: \n");
  display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - started) / 1000.0);
  return true;
}
