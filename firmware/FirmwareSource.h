// Where a run's firmware comes from, for the update and the recovery roads alike: the update
// server at its base URL and the per-user store under its root folder. It downloads builds into
// the store, lists the builds of either and loads the bird file a road sends; no module is
// contacted. Every operation opens the store anew and releases it before it returns, runs on
// the calling thread (a download hands its one server request to a worker thread of its own)
// and tells the user through the display.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "firmware/BirdFile.h"
#include "firmware/Fingerprint.h"
#include "firmware/UpdaterDisplayInterface.h"
#include "firmware/UpdaterStore.h"

class FirmwareSource {
 public:
  using BuildList = std::map<std::string, std::string>;

  // A stored build is "<decimal build><BIRD_FILE_EXTENSION>" in the device's store folder.
  static constexpr const char* BIRD_FILE_EXTENSION = ".bird";
  // The serial number that stands for none: its store entry holds the default recovery image,
  // and a freshly started live loader may answer under it.
  static constexpr uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;

  // Copies both texts; the display is used, not owned, and must outlive the source.
  FirmwareSource(std::string serverUrl, std::string storeDir, UpdaterDisplayInterface& display);
  FirmwareSource(const FirmwareSource&) = delete;
  FirmwareSource& operator=(const FirmwareSource&) = delete;

  const std::string& ServerUrl() const { return serverUrl; }
  const std::string& StoreDir() const { return storeDir; }
  UpdaterDisplayInterface& Display() const { return display; }

  // Fetches a build's bird file for the serial number into the device's store folder and notes
  // it as "LATEST_DOWNLOAD". An empty build means the server's newest; override skips the check
  // against the server's build list; noCal is passed to the build request. The build number
  // stored, 0 on failure (each failure is shown).
  uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool noCal);
  // The same for the module the server knows by this chip fingerprint; a build that is empty or
  // not a number means the build the server names.
  uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  // The builds the server offers (build number text -> version text); empty on failure.
  BuildList Get_BuildList(uint32_t serialNumber);
  // The same, telling apart a server that answered (answered true, the list possibly empty) from
  // a request that failed (answered false, shown).
  BuildList Get_BuildList(uint32_t serialNumber, bool& answered);
  // The builds in the store (name up to ".bird" -> the file's version text, or empty); empty
  // when the store or the device's folder is missing.
  BuildList Get_BuildListLocal(uint32_t serialNumber);

  // Loads the bird file to send: the file when one is given, else the build's file from the
  // device's store entry (made when missing). With download on, a build that is not kept is
  // fetched first, and the build the download stored is the one read. Shows "<verb> ...".
  // Throws std::runtime_error when nothing can be loaded; an empty BirdFile without a store.
  BirdFile load_bird(const char* verb, std::string file, uint32_t serialNumber, uint32_t build, bool download);

 protected:
  std::string serverUrl;
  std::string storeDir;
  UpdaterDisplayInterface& display;
};

namespace UpdaterRoutines {

// Opens the store at root. When that fails, shows "Failed to Create UpdaterStore in: <caller> -
// Exception: <why>" and returns an empty pointer; the caller then gives up without a further
// message.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* caller);

// One update or recovery of a module at a time, whichever process runs it and by whichever
// road: two would interleave what they send and leave the module with neither image. Takes the
// update lock of the module's store folder without waiting, for as long as the result lives;
// empty, shown, when another run holds it ("another update of module [...] is running") or it
// cannot be had.
std::optional<StoreLock> _lock_module_update(UpdaterDisplayInterface& display, const UpdaterStoreItem& device,
                                             uint32_t serialNumber);

// Whether the server's build list for the serial number holds the build (keys compared as
// numbers; a key that is not a number counts as 0). False when the list cannot be had.
bool _valid_build(uint32_t serialNumber, uint32_t build, const std::string& url);

}  // namespace UpdaterRoutines
