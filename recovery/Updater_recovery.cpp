// Recovery and fingerprint operations: the LPC road over ISP and the i.MX road over the serial
// download protocol and the live loader.
#include "recovery/Updater_recovery.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aByteOrder.h"
#include "common/aTime.h"
#include "platform/Quillfern-C.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerial.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "updater/Log.h"
#include "updater/UpdateServerRequest.h"
#include "updater/UpdateSteps.h"
#include "updater/UpdaterStore.h"

using namespace RecoverySteps;
using namespace UpdateSteps;
using namespace UpdaterRoutines;

using Tarnwick::Quillfern::Module;
using Tarnwick::Quillfern::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr uint8_t kSystemUniqueIdentifier = 39;
constexpr const char* kHidPort = "USB";
constexpr int kLastSector = 29;
constexpr uint32_t kChunkBytes = 4096;
constexpr uint32_t kSettleBetweenTriesMs = 1000;
// A firmware block whose payload is this long closes the image: it is not flashed.
constexpr uint32_t kEndMarkerPayload = 4;

uint32_t _payload_length(const BirdBlock& block) { return block.length - 4; }
const uint8_t* _payload(const BirdBlock& block) { return block.data + 4; }

bool _refuse_zero_baud(UpdaterDisplayInterface& display, uint32_t baud) {
  if (baud != 0) return false;
  display.message(kError,
                  "Invalid baud rate: use one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400");
  return true;
}

// The store's file name of the loader build for the serial number: the entry's latest download,
// fetched first when the entry is missing or names none.
std::string _loader_file_name(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                              uint32_t serialNumber, UpdaterStoreItem& item) {
  if (item.IsValid()) {
    std::string name = item.settings.GetString("LATEST_DOWNLOAD", "");
    if (!name.empty()) return name;
  }
  display.mute_messages(true);
  Log::log(Log::DEBUG_APP, "Existing loader device not found. Downloading.\n");
  const uint32_t build = updater.Download_Firmware(serialNumber, "", false, false);
  std::string name;
  if (build != 0) {
    name = std::to_string(build) + Updater::BIRD_FILE_EXTENSION;
    store.FindDevice(serialNumber, &item);
  }
  display.mute_messages(false);
  return name;
}

// Loads the bird file that carries the live loader; false (shown or logged) when there is none.
bool _load_loader_bird(UpdaterDisplayInterface& display, Updater& updater, uint32_t serialNumber,
                       const std::string& file, BirdFile& bird) {
  if (!file.empty() && serialNumber == Updater::DEFAULT_SERIAL_NUMBER) {
    display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.StoreDir(), "_get_fingerprint_imx");
  if (!store) return false;
  UpdaterStoreItem item;
  store->FindDevice(serialNumber, &item);
  try {
    if (!file.empty()) {
      bird = BirdFile(file.c_str());
      return true;
    }
    const std::string name = _loader_file_name(display, updater, *store, serialNumber, item);
    if (name.empty()) throw std::runtime_error("No loader build could be had");
    bird = item.ReadBirdFile(name.c_str());
    return true;
  } catch (const std::runtime_error& failure) {
    Log::log(Log::DEBUG_APP, "%s\n", failure.what());
    return false;
  }
}

// One round of looking for the live loader on USB: under the default serial number, then the
// device's own (a loader may answer under either).
bool _connect_live_loader(Module& module, uint32_t serialNumber) {
  module.discoverAndConnect(USB, Updater::DEFAULT_SERIAL_NUMBER);
  if (module.isConnected()) return true;
  if (serialNumber != Updater::DEFAULT_SERIAL_NUMBER) module.discoverAndConnect(USB, serialNumber);
  return module.isConnected();
}

uint32_t _jump_address(const BirdFile& bird) {
  const std::vector<BirdBlock> jumps = bird.FindBlocks(BirdFile::BLOCK_JUMP_ADDRESS);
  if (jumps.empty() || jumps.front().length < 4) return IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  return aByteOrder_ReadBE32(jumps.front().data);
}

// The firmware blocks to flash: all of them but a closing end marker.
std::vector<BirdBlock> _flash_blocks(const BirdFile& bird) {
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  if (!blocks.empty() && _payload_length(blocks.back()) == kEndMarkerPayload) {
    Log::log(Log::DEBUG_Updater, "Firmware end marker at 0x%08X is not flashed\n", blocks.back().address);
    blocks.pop_back();
  }
  return blocks;
}

// Where an LPC flash step failed, for the user.
struct LpcFailure {
  const char* step = nullptr;
  int block = 0;
  uint32_t address = 0;
  aErr code = aErrNone;
};

void _show_lpc_failure(UpdaterDisplayInterface& display, const LpcFailure& failure, int blocks) {
  display.message(kError, "Recovery Error: %s failed for firmware block %d of %d at address 0x%08X ==> [%d, %s]",
                  failure.step, failure.block, blocks, failure.address, int(failure.code),
                  aError_GetErrorText(failure.code));
}

// One chunk: staged in RAM, padded with erased bytes (0xFF) to the copy length so that the copy
// burns nothing stale, then copied over sectors prepared for the whole copy.
aErr _flash_chunk(NXPSerialClass& isp, uint32_t flashAddress, const uint8_t* bytes, uint32_t chunk,
                  const char** step) {
  const uint32_t copyLength = NXPSerialClass::CopyLength(chunk);
  std::vector<uint8_t> staged(copyLength, 0xFF);
  std::memcpy(staged.data(), bytes, chunk);
  Log::log(Log::DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(chunk), flashAddress);
  Log::log(Log::DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(copyLength),
           NXPSerialClass::WRITE_ADDRESS);
  aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, copyLength, staged.data());
  if (err != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Write to RAM failed\n");
    *step = "Write to RAM";
    return err;
  }
  const int first = NXPSerialClass::SectorFromAddress(flashAddress);
  const int last = NXPSerialClass::SectorFromAddress(flashAddress + copyLength - 1);
  Log::log(Log::DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
  err = isp.Prepare(first, last);
  if (err != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Prepare failed\n");
    *step = "Prepare";
    return err;
  }
  Log::log(Log::DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copyLength), NXPSerialClass::WRITE_ADDRESS,
           flashAddress);
  err = isp.CopyToFlash(flashAddress, NXPSerialClass::WRITE_ADDRESS, copyLength);
  if (err != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Transfer to flash failed\n");
    *step = "Copy to flash";
  }
  return err;
}

// Flashes one firmware block chunk by chunk; the bytes flashed, or the failure.
bool _flash_block(UpdaterDisplayInterface& display, NXPSerialClass& isp, const BirdBlock& block, int number,
                  int blocks, uint32_t* done, LpcFailure* failure) {
  const uint32_t length = _payload_length(block);
  uint32_t flashAddress = block.address;
  display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", number, blocks, int(length));
  display.display_progress(true);
  Log::log(Log::DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", int(length), flashAddress);
  *done = 0;
  bool flashed = true;
  while (*done < length) {
    const uint32_t chunk = std::min(kChunkBytes, length - *done);
    const aErr err = _flash_chunk(isp, flashAddress, _payload(block) + *done, chunk, &failure->step);
    if (err != aErrNone) {
      *failure = {failure->step, number, flashAddress, err};
      flashed = false;
      break;
    }
    flashAddress += chunk;
    *done += chunk;
    display.update_progress(double(*done) / length, nullptr);
  }
  display.display_progress(false);
  return flashed;
}

// A step before the flashing; its failure is logged as the road has it and shown.
bool _lpc_step(UpdaterDisplayInterface& display, aErr err, const char* logged, const char* shown) {
  if (err == aErrNone) return true;
  Log::log(Log::DEBUG_Network, "%s", logged);
  display.message(kError, "Recovery Error: %s ==> [%d, %s]", shown, int(err), aError_GetErrorText(err));
  return false;
}

}  // namespace

bool RecoverySteps::_get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint) {
  NXPSerialClass isp;
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not open serial port\n", int(err));
    return false;
  }
  Log::log(Log::DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != aErrNone) {
    Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", int(err));
    return false;
  }
  Log::log(Log::DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != aErrNone) {
    Log::log(Log::DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  std::copy(std::begin(isp.deviceId), std::end(isp.deviceId), fingerprint.words);
  return true;
}

bool RecoverySteps::_get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                          uint32_t serialNumber, std::string file, Fingerprint& fingerprint, bool resetAfter) {
  if (serialNumber == 0) serialNumber = Updater::DEFAULT_SERIAL_NUMBER;
  BirdFile bird;
  if (!_load_loader_bird(display, updater, serialNumber, file, bird)) return false;
  if (_transfer_recovery_loader(display, bird, port) != aErrNone) {
    Log::log(Log::DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, uint8_t(0));
  if (_disableEther(module, display) != aErrNone) return false;
  bool connected = false;
  for (int attempt = 1; attempt <= Updater::CONNECT_ATTEMPTS && !connected; ++attempt) {
    if (attempt % 3 == 0) {
      Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Quillfern_libusb_exit();
    }
    connected = _connect_live_loader(module, serialNumber);
    if (!connected) aTime_MSSleep(kSettleBetweenTriesMs);
  }
  if (!connected) {
    Log::log(Log::DEBUG_APP, "Could not connect to device.\n");
    return false;
  }
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t i = 0; i < 4; ++i) {
    if (system.getUEI32(kSystemUniqueIdentifier, i, &fingerprint.words[3 - i]) != aErrNone) {
      Log::log(Log::DEBUG_APP, "Error getting Identifier %d.\n", int(i));
      return false;
    }
  }
  if (resetAfter) system.reset();
  return true;
}

aErr RecoverySteps::_transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port) {
  Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader sdp;
  if (port == kHidPort) {
    sdp.setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID));
  } else {
    sdp.setLoader(std::make_unique<Serial_SDPLoader>(port.c_str()));
  }
  if (sdp.init() != SDPLoader::SUCCESS) return aErrNotReady;
  int counter = 0;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
    if (block.length < 4) {  // no load address: nothing that could be placed
      Log::log(Log::DEBUG_Updater, "Skipping loader block %d of %u bytes: no load address\n", counter,
               unsigned(block.length));
      ++counter;
      continue;
    }
    const uint32_t address = aByteOrder_ReadBE32(block.data);
    const std::vector<uint8_t> payload(block.data + 4, block.data + block.length);
    Log::log(Log::DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", counter, payload.size(),
             int(address));
    if (sdp.writeLoader(payload, address) != SDPLoader::SUCCESS) return aErrConnection;
    ++counter;
  }
  const uint32_t jump = _jump_address(bird);
  if (sdp.startLoader(jump) != SDPLoader::SUCCESS) {
    Log::log(Log::DEBUG_Updater, "Loader start at 0x%08X refused\n", jump);
    display.message(kError, "The boot ROM refused to start the loader at address 0x%08X", jump);
    return aErrConnection;
  }
  return aErrNone;
}

bool RecoverySteps::_recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serialNumber,
                           bool ueiBytesLoad) {
  Module module(0, uint8_t(0));
  aErr err = _disableEther(module, display);
  if (err == aErrNone) {
    bool connected = false;
    for (int round = 0; round < Updater::CONNECT_ATTEMPTS && !connected; ++round) {
      connected = _connect_live_loader(module, serialNumber);
      if (!connected) aTime_MSSleep(kSettleBetweenTriesMs);
    }
    if (!connected) {
      display.message(kError, "Could not connect to device");
      return false;
    }
    err = _transfer_firmware(display, module, bird, false, ueiBytesLoad);
  }
  if (err != aErrNone) {
    display.message(kError, "Failed to transfer firmware");
    return false;
  }
  return true;
}

bool RecoverySteps::_recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port, uint32_t baud,
                           Fingerprint&) {
  NXPSerialClass isp;
  const aErr opened = isp.Connect(port.c_str(), baud);
  if (opened != aErrNone) {
    Log::log(Log::DEBUG_Network, "Could not connect to %s\n", port.c_str());
    display.message(kError, "Recovery Error: could not open %s ==> [%d, %s]", port.c_str(), int(opened),
                    aError_GetErrorText(opened));
    return false;
  }
  Log::log(Log::DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (!_lpc_step(display, isp.Unlock(), "Could not unlock\n", "Unlock")) return false;
  Log::log(Log::DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (!_lpc_step(display, isp.Prepare(0, kLastSector), "Could not prepare\n", "Prepare")) return false;
  Log::log(Log::DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (!_lpc_step(display, isp.Erase(0, kLastSector), "Could not erase\n", "Erase")) return false;
  isp.SetEcho(false);
  Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
  Log::log(Log::DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());

  const std::vector<BirdBlock> blocks = _flash_blocks(bird);
  const int count = int(blocks.size());
  uint32_t total = 0;
  for (int k = 0; k < count; ++k) {
    uint32_t done = 0;
    LpcFailure failure;
    const bool flashed = _flash_block(display, isp, blocks[size_t(k)], k + 1, count, &done, &failure);
    total += done;
    if (!flashed) {
      _show_lpc_failure(display, failure, count);
      return false;
    }
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", count, int(total));
  const aErr err = isp.SetEcho(true);
  if (err != aErrNone) {
    display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", int(err),
                    aError_GetErrorText(err));
    return false;
  }
  display.message(kInfo, "Rebooting Device");
  isp.ExecuteFrom(0);
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serialNumber, std::string file,
                              uint32_t baud, bool resetAfter) {
  if (_refuse_zero_baud(display, baud)) return false;
  if (_get_fingerprint_lpc(port, baud, fingerprint)) {
    chipKind = CHIP_KIND_LPC;
    return true;
  }
  chipKind = CHIP_KIND_IMX;
  return RecoverySteps::_get_fingerprint_imx(display, *this, port, serialNumber, file, fingerprint, resetAfter);
}

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serialNumber,
                               std::string file, bool) {
  const uint64_t start = aTime_GetMSTicks();
  if (_refuse_zero_baud(display, baud)) return false;
  Fingerprint fingerprint;
  // The chip's bootloader locks on to the rate of its synchronisation, so the fingerprint is
  // taken at the rate the flash road will use.
  if (!Get_Fingerprint(fingerprint, port, serialNumber, file, baud, false)) {
    display.message(kError, "Could not get Device Identifier");
    return false;
  }
  uint32_t serverBuild = 0;
  if (file.empty()) {
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &serverBuild, serverUrl.c_str())) {
      display.message(kError, "Failed to retrieve recovery information from Tarnwick server");
      return false;
    }
    if (build != 0) serverBuild = build;
  }
  BirdFile bird;
  try {
    bird = load_bird("Recovering", file, serialNumber, serverBuild, true);
  } catch (const std::runtime_error&) {
    display.message(kError, "Failed to load bird file");
    return false;
  }
  if (bird.hasSerialBlocks) {
    display.message(kError, "Updater does not support offline recovery");
    return false;
  }
  if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    // Nothing to load: the chip must not be erased for it.
    display.message(kError, "Failed to load bird file");
    return false;
  }
  bool recovered = false;
  if (chipKind == CHIP_KIND_IMX) {
    recovered = _recover_firmware_imx(display, bird, serialNumber, ueiBytesLoad);
  } else if (chipKind == CHIP_KIND_LPC) {
    bird.DecodeFirmwareBlocks(fingerprint.words);
    recovered = _recover_firmware_lpc(display, bird, port, baud, fingerprint);
  } else {
    display.message(kError, "Unknown device");
  }
  display.message(kInfo, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
  return recovered;
}
