// The updater application's object: one per run, built by the command line, with one operation
// per command. It holds only the update server's base URL, the store's root folder and the
// display; every operation opens the store anew, builds its own Module objects and releases
// everything before it returns. Operations run on the calling thread (a download hands its one
// server request to a worker thread of its own) and tell the user through the display.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/Module.h"
#include "common/aError.h"
#include "common/discover.h"
#include "updater/Fingerprint.h"
#include "updater/UpdaterDisplayInterface.h"
#include "updater/UpdaterStore.h"

// One module found by discovery, as the updater lists it. Every number is 0 and every text empty
// until a probe fills it.
struct DeviceInfo {
  DeviceInfo();

  linkSpec spec;                // how the module is reached
  uint16_t networkAddress = 0;  // I2C address behind a router; 0 for a module found directly
  uint32_t build = 0;           // firmware build; 0 when not read
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  std::string deviceName;  // the user-given name; empty when none was read
  aErr error = aErrNone;   // result of probing the module; aErrNone when every probe succeeded
};

class Updater {
 public:
  using BuildList = std::map<std::string, std::string>;

  // Reconnect tries after the loader starts, reconnectPauseMs (UpdateRoadPauses) apart.
  static constexpr int CONNECT_ATTEMPTS = 15;
  // Attempts per firmware block.
  static constexpr int BLOCK_RETRIES = 5;
  // A stored build is "<decimal build><BIRD_FILE_EXTENSION>" in the device's store folder.
  static constexpr const char* BIRD_FILE_EXTENSION = ".bird";
  // The serial number that stands for none: its store entry holds the default recovery image,
  // and a freshly started live loader may answer under it.
  static constexpr uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;
  // What the last fingerprint found: the LPC bootloader answered, or it did not (i.MX tried).
  static constexpr uint8_t CHIP_KIND_IMX = 1;
  static constexpr uint8_t CHIP_KIND_LPC = 2;

  // Copies both texts; the display is used, not owned, and must outlive the Updater.
  Updater(std::string serverUrl, std::string storeDir, UpdaterDisplayInterface& display);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Whether a firmware transfer may use the UEI byte-array path (off after construction).
  void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }
  bool UEIBytesLoad() const { return ueiBytesLoad; }
  const std::string& ServerUrl() const { return serverUrl; }
  const std::string& StoreDir() const { return storeDir; }

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

  // Lists and probes the modules on one transport, or on USB and then TCPIP for UNSPECIFIED.
  // Every find stays in the list; a probe that failed leaves its result in `error`.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  // The modules that answer on the I2C bus of the router module with that serial number,
  // reached over the given transport (UNSPECIFIED: looked up, USB first). Empty when the router
  // is not found or cannot be reached; the router's routing to this host is off again on return.
  std::vector<DeviceInfo> Discover_QFNetwork_Devices(uint32_t routerSerialNumber, linkType type);

  // Updates the module's firmware through its running firmware: from the file, else the build,
  // else the newest build kept in the store; directly, or through the router module with that
  // serial number (0: none) at moduleAddress (0: looked up on the router's bus). Records the
  // transfer in the device's store entry on success only. Every failure is shown.
  bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string file, uint8_t moduleAddress, uint32_t router,
                       bool override);
  // Loads the bird file to send: the file when one is given, else the build's file from the
  // device's store entry (made when missing). With download on, a build that is not kept is
  // fetched first, and the build the download stored is the one read. Shows "<verb> ...".
  // Throws std::runtime_error when nothing can be loaded; an empty BirdFile without a store.
  BirdFile load_bird(const char* verb, std::string file, uint32_t serialNumber, uint32_t build, bool download);

  // Reads the chip's fingerprint through its ROM bootloader on the port: an LPC chip over ISP,
  // else an i.MX chip through its serial download protocol and live loader. Notes the chip kind.
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serialNumber, std::string file,
                       uint32_t baud, bool resetAfter);
  // Loads the recovery build into a chip whose firmware does not run, by the road the last
  // fingerprint chose.
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serialNumber, std::string file,
                        bool override);

 private:
  std::string serverUrl;
  std::string storeDir;
  UpdaterDisplayInterface& display;
  uint8_t chipKind = 0;  // the kind of chip found by the last fingerprint; 0 until one is taken
  bool ueiBytesLoad = false;
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

// Puts the module under direct control before it connects: networking and fallback off, local
// only on, so that its links never pass through a link sharing server. A refusal (aErrMode while
// connected) is shown as "Failed to SET network configuration" and returned.
aErr _disableEther(Tarnwick::Quillfern::Module& module, UpdaterDisplayInterface& display);

// Whether the server's build list for the serial number holds the build (keys compared as
// numbers; a key that is not a number counts as 0). False when the list cannot be had.
bool _valid_build(uint32_t serialNumber, uint32_t build, const std::string& url);

}  // namespace UpdaterRoutines
