// The updater application's object: one per run, built by the command line, with one operation
// per command. It holds only the update server's base URL, the store's root folder and the
// display (as the FirmwareSource it is, whose downloads, build lists and bird files are its
// own) and the recovery road's chip kind (in its Recovery, to which it hands the recovery
// operations); every operation opens the store anew, builds its own Module objects and releases
// everything before it returns. Operations run on the calling thread (a download hands its one
// server request to a worker thread of its own) and tell the user through the display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/aError.h"
#include "common/discover.h"
#include "firmware/Fingerprint.h"
#include "firmware/FirmwareSource.h"
#include "firmware/UpdaterDisplayInterface.h"
#include "recovery/Recovery.h"

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

class Updater : public FirmwareSource {
 public:
  // Copies both texts; the display is used, not owned, and must outlive the Updater.
  Updater(std::string serverUrl, std::string storeDir, UpdaterDisplayInterface& display);
  ~Updater();

  // Whether a firmware transfer may use the UEI byte-array path (off after construction).
  void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }
  bool UEIBytesLoad() const { return ueiBytesLoad; }

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

  // Recovery::Get_Fingerprint and Recovery::Recover_Firmware (the transfer by UEI byte arrays
  // as Set_UEIBytes_Load chose).
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serialNumber, std::string file,
                       uint32_t baud, bool resetAfter);
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serialNumber, std::string file,
                        bool override);

 private:
  Recovery recovery;
  bool ueiBytesLoad = false;
};
