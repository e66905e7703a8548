// The update road: choosing and loading the build, connecting, and sending it to the module.
#include <stdexcept>
#include <string>

#include "updater/Log.h"
#include "updater/Updater.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;

std::string _build_file_name(uint32_t build) { return std::to_string(build) + Updater::BIRD_FILE_EXTENSION; }

}  // namespace

BirdFile Updater::load_bird(const char* verb, std::string file, uint32_t serialNumber, uint32_t build,
                            bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "load_bird");
  if (!store) return BirdFile();
  if (!file.empty()) {
    display.message(kInfo, "%s from Birdfile: %s", verb, file.c_str());
    return BirdFile(file.c_str());
  }
  UpdaterStoreItem device = store->AddDevice(serialNumber);
  display.message(kInfo, "%s firmware with build: %u", verb, build);
  try {
    return device.ReadBirdFile(_build_file_name(build).c_str());
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(kInfo, "Downloading firmware build %u", build);
  // The download may store another build than the one asked for (the server's newest when the
  // asked one is 0): read the one it stored, not a stale file of the asked number.
  const uint32_t stored = Download_Firmware(serialNumber, std::to_string(build), false, false);
  if (stored != 0) build = stored;
  return device.ReadBirdFile(_build_file_name(build).c_str());
}
