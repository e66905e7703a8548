// Recovery and fingerprint operations: the LPC road over ISP and the i.MX road over the serial
// download protocol and the live loader.
#include "recovery/Updater_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aByteOrder.h"
#include "common/aTime.h"
#include "common/aTransports.h"
#include "common/discover.h"
#include "firmware/Log.h"
#include "firmware/UpdateServerRequest.h"
#include "firmware/UpdateSteps.h"
#include "firmware/UpdaterStore.h"
#include "firmware/UpdaterText.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerial.h"
#include "recovery/Recovery.h"
#include "recovery/RecoverySteps.h"
#include "recovery/RecoveryText.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

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
// The smallest piece the chip burns, and the boundary every block must start on.
constexpr uint32_t kFlashPage = 256;
constexpr uint32_t kSettleBetweenTriesMs = 1000;
// A firmware block whose payload is this long closes the image: it is not flashed.
constexpr uint32_t kEndMarkerPayload = 4;

uint32_t _payload_length(const BirdBlock& block) { return block.length - 4; }
const uint8_t* _payload(const BirdBlock& block) { return block.data + 4; }

// A rate outside the serial rate table would open the port at another rate without a word.
bool _refuse_unknown_baud(UpdaterDisplayInterface& display, uint32_t baud) {
  if (aSerial_BaudIndex(baud) >= 0) return false;
  display.message(kError, "Invalid baud rate: use one of %s", baud_rate_list().c_str());
  return true;
}

// The store's file name of the loader build for the serial number: the entry's latest download,
// fetched first when the entry is missing or names none.
std::string _loader_file_name(UpdaterDisplayInterface& display, FirmwareSource& firmware, UpdaterStore& store,
                              uint32_t serialNumber, UpdaterStoreItem& item) {
  if (item.IsValid()) {
    std::string name = item.settings.GetString(KEY_LATEST_DOWNLOAD, "");
    if (!name.empty()) return name;
  }
  display.mute_messages(true);
  Log::log(Log::DEBUG_APP, "Existing loader device not found. Downloading.\n");
  const uint32_t build = firmware.Download_Firmware(serialNumber, "", false, false);
  std::string name;
  if (build != 0) {
    name = build_file_name(build);
    store.FindDevice(serialNumber, &item);
  }
  display.mute_messages(false);
  return name;
}

// Loads the bird file that carries the live loader; false (shown or logged) when there is none.
bool _load_loader_bird(UpdaterDisplayInterface& display, FirmwareSource& firmware, uint32_t serialNumber,
                       const std::string& file, BirdFile& bird) {
  if (!file.empty() && serialNumber == FirmwareSource::DEFAULT_SERIAL_NUMBER) {
    display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, firmware.StoreDir(), "_get_fingerprint_imx");
  if (!store) return false;
  UpdaterStoreItem item;
  store->FindDevice(serialNumber, &item);
  try {
    if (!file.empty()) {
      bird = BirdFile(file.c_str());
      return true;
    }
    const std::string name = _loader_file_name(display, firmware, *store, serialNumber, item);
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
  module.discoverAndConnect(USB, FirmwareSource::DEFAULT_SERIAL_NUMBER);
  if (module.isConnected()) return true;
  if (serialNumber != FirmwareSource::DEFAULT_SERIAL_NUMBER) module.discoverAndConnect(USB, serialNumber);
  return module.isConnected();
}

uint32_t _flash_end() {
  const NXPFlashSector& last = NXP_LPC17XX_sectors[kLastSector];
  return last.start + last.size;
}

uint32_t _round_up_to_page(uint32_t n) { return (n + kFlashPage - 1) / kFlashPage * kFlashPage; }

// A firmware block that will be written, with its number among the file's firmware blocks.
struct FlashBlock {
  BirdBlock block;
  int number;
  uint32_t end() const { return block.address + _payload_length(block); }
};

bool _refuse_image(UpdaterDisplayInterface& display, const std::string& why) {
  display.message(kError, "Recovery Error: %s", why.c_str());
  return false;
}

// The firmware blocks that will really be written, in file order: all but a closing end marker
// and blocks without payload. Refused (shown) when there are none, or when one has no load
// address, lies outside the flash, does not start on a page boundary, or overlaps another.
bool _plan_lpc_flash(UpdaterDisplayInterface& display, const BirdFile& bird, std::vector<FlashBlock>* plan) {
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  if (!blocks.empty() && blocks.back().length >= 4 && _payload_length(blocks.back()) == kEndMarkerPayload) {
    Log::log(Log::DEBUG_Updater, "Firmware end marker at 0x%08X is not flashed\n", blocks.back().address);
    blocks.pop_back();
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    const BirdBlock& block = blocks[i];
    const int number = int(i) + 1;
    if (block.length < 4)
      return _refuse_image(display, RecoveryFormat("firmware block %d holds no load address", number));
    if (_payload_length(block) == 0) {
      Log::log(Log::DEBUG_Updater, "Firmware block %d at 0x%08X is empty: nothing to write\n", number, block.address);
      continue;
    }
    const uint64_t end = uint64_t(block.address) + _payload_length(block);
    if (end > _flash_end()) {
      return _refuse_image(display,
                           RecoveryFormat("firmware block %d (0x%08X to 0x%08llX) lies outside the flash "
                                          "(0x00000000 to 0x%08X)",
                                          number, block.address, (unsigned long long)(end - 1), _flash_end() - 1));
    }
    if (block.address % kFlashPage != 0) {
      return _refuse_image(display, RecoveryFormat("firmware block %d at 0x%08X does not start on a %u-byte boundary",
                                                   number, block.address, unsigned(kFlashPage)));
    }
    plan->push_back({block, number});
  }
  if (plan->empty()) return _refuse_image(display, "the recovery image holds no firmware to write");
  std::vector<FlashBlock> byAddress = *plan;
  std::sort(byAddress.begin(), byAddress.end(),
            [](const FlashBlock& a, const FlashBlock& b) { return a.block.address < b.block.address; });
  for (size_t i = 1; i < byAddress.size(); ++i) {
    const FlashBlock& before = byAddress[i - 1];
    const FlashBlock& after = byAddress[i];
    if (before.end() > after.block.address) {
      return _refuse_image(display, RecoveryFormat("firmware blocks %d and %d overlap at 0x%08X", before.number,
                                                   after.number, after.block.address));
    }
  }
  return true;
}

// Where an LPC flash step failed, for the user.
struct LpcFailure {
  const char* step = nullptr;
  int block = 0;
  uint32_t address = 0;
  aErr code = aErrNone;
};

// What the chip said to the command that failed: its return code by name and number, or that it
// said nothing.
std::string _chip_answer(const NXPSerialClass& isp, aErr err) {
  const int code = isp.lastReturnCode;
  if (code > 0) {
    const char* name = NXPSerialClass::ERROR_TEXT[std::min(code, int(NXPSerialClass::MAX_ERROR))];
    return RecoveryFormat(", the chip answered %s (%d)", name, code);
  }
  if (err == aErrNotReady) return ", the chip did not answer";
  return "";
}

void _show_lpc_failure(UpdaterDisplayInterface& display, const NXPSerialClass& isp, const LpcFailure& failure,
                       int blocks) {
  display.message(kError, "Recovery Error: %s failed for firmware block %d of %d at address 0x%08X ==> [%d, %s]%s",
                  failure.step, failure.block, blocks, failure.address, int(failure.code),
                  aError_GetErrorText(failure.code), _chip_answer(isp, failure.code).c_str());
}

// The largest copy the chip takes that fits in n bytes, a page for less: copies of staged bytes
// never burn padding beyond the page that holds the block's last byte, so a block's copies stay
// off its neighbours and inside the flash.
uint32_t _copy_piece(uint32_t n) {
  for (uint32_t size : {4096u, 1024u, 512u}) {
    if (n >= size) return size;
  }
  return kFlashPage;
}

// One chunk: staged in RAM, padded with erased bytes (0xFF) to whole pages so that a copy burns
// nothing stale, then copied in pieces, each over the sectors it covers, prepared for it.
aErr _flash_chunk(NXPSerialClass& isp, uint32_t flashAddress, const uint8_t* bytes, uint32_t chunk, const char** step) {
  const uint32_t staged = _round_up_to_page(chunk);
  std::vector<uint8_t> padded(staged, 0xFF);
  std::memcpy(padded.data(), bytes, chunk);
  Log::log(Log::DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(chunk), flashAddress);
  Log::log(Log::DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(staged), NXPSerialClass::WRITE_ADDRESS);
  aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, staged, padded.data());
  if (err != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Write to RAM failed\n");
    *step = "Write to RAM";
    return err;
  }
  for (uint32_t done = 0; done < staged && err == aErrNone;) {
    const uint32_t piece = _copy_piece(staged - done);
    const uint32_t to = flashAddress + done;
    const uint32_t from = NXPSerialClass::WRITE_ADDRESS + done;
    const int first = NXPSerialClass::SectorFromAddress(to);
    const int last = NXPSerialClass::SectorFromAddress(to + piece - 1);
    Log::log(Log::DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
    err = isp.Prepare(first, last);
    if (err != aErrNone) {
      Log::log(Log::DEBUG_Updater, "\t Prepare failed\n");
      *step = "Prepare";
      return err;
    }
    Log::log(Log::DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(piece), from, to);
    err = isp.CopyToFlash(to, from, piece);
    if (err != aErrNone) {
      Log::log(Log::DEBUG_Updater, "\t Transfer to flash failed\n");
      *step = "Copy to flash";
    }
    done += piece;
  }
  return err;
}

// Flashes one firmware block chunk by chunk; the bytes flashed, or the failure.
bool _flash_block(UpdaterDisplayInterface& display, NXPSerialClass& isp, const BirdBlock& block, int number, int blocks,
                  uint32_t* done, LpcFailure* failure) {
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
bool _lpc_step(UpdaterDisplayInterface& display, const NXPSerialClass& isp, aErr err, const char* logged,
               const char* shown) {
  if (err == aErrNone) return true;
  Log::log(Log::DEBUG_Network, "%s", logged);
  display.message(kError, "Recovery Error: %s ==> [%d, %s]%s", shown, int(err), aError_GetErrorText(err),
                  _chip_answer(isp, err).c_str());
  return false;
}

// Switches the chip's echo back on when the road leaves with it off, so that the next session
// finds the chip as a synchronisation leaves it.
class EchoBackOn {
 public:
  explicit EchoBackOn(NXPSerialClass& isp) : _isp(isp) {}
  ~EchoBackOn() {
    if (!_isp.echo) _isp.SetEcho(true);
  }
  EchoBackOn(const EchoBackOn&) = delete;
  EchoBackOn& operator=(const EchoBackOn&) = delete;

 private:
  NXPSerialClass& _isp;
};

std::string _status_text(const std::optional<uint32_t>& status) {
  return status ? RecoveryFormat("status 0x%08X", *status) : std::string("no status");
}

// Shows why the ROM did not take a loader block.
void _show_loader_failure(UpdaterDisplayInterface& display, const SDPLoader& sdp, int result, const std::string& port,
                          int block, size_t size, uint32_t address) {
  const std::string status = _status_text(sdp.lastStatus());
  switch (result) {
    case SDPLoader::NO_ANSWER:
      display.message(kError, "The boot ROM did not answer on %s", port.c_str());
      break;
    case SDPLoader::NOT_A_ROM:
      display.message(kError, "The device on %s sends back what it is sent: it is no i.MX boot ROM", port.c_str());
      break;
    case SDPLoader::TRANSFER_ABORTED:
      display.message(kError, "The boot ROM stopped loader block %d (%zu bytes to 0x%08X) after %zu bytes: %s", block,
                      size, address, sdp.imageBytesSent(), status.c_str());
      break;
    default:
      display.message(kError, "The boot ROM did not confirm loader block %d (%zu bytes to 0x%08X): %s", block, size,
                      address, status.c_str());
      break;
  }
}

// Unlocks, prepares and erases the whole flash, writes the planned blocks and starts the image.
bool _flash_lpc_plan(UpdaterDisplayInterface& display, const BirdFile& bird, const std::vector<FlashBlock>& plan,
                     NXPSerialClass& isp) {
  EchoBackOn echoBackOn(isp);
  Log::log(Log::DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (!_lpc_step(display, isp, isp.Unlock(), "Could not unlock\n", "Unlock")) return false;
  Log::log(Log::DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (!_lpc_step(display, isp, isp.Prepare(0, kLastSector), "Could not prepare\n", "Prepare")) return false;
  Log::log(Log::DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (!_lpc_step(display, isp, isp.Erase(0, kLastSector), "Could not erase\n", "Erase")) return false;
  isp.SetEcho(false);
  Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
  Log::log(Log::DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());

  const int count = int(plan.size());
  uint32_t total = 0;
  for (int k = 0; k < count; ++k) {
    uint32_t done = 0;
    LpcFailure failure;
    const bool flashed = _flash_block(display, isp, plan[size_t(k)].block, k + 1, count, &done, &failure);
    total += done;
    if (!flashed) {
      _show_lpc_failure(display, isp, failure, count);
      return false;
    }
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", count, int(total));
  aErr err = isp.SetEcho(true);
  if (err != aErrNone) {
    display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]%s", int(err),
                    aError_GetErrorText(err), _chip_answer(isp, err).c_str());
    return false;
  }
  err = isp.ExecuteFrom(0);
  if (err != aErrNone) {
    display.message(kError, "Recovery Error: Start from address 0x00000000 ==> [%d, %s]%s", int(err),
                    aError_GetErrorText(err), _chip_answer(isp, err).c_str());
    return false;
  }
  display.message(kInfo, "Rebooting Device");
  return true;
}

}  // namespace

bool RecoverySteps::_check_serial_port(UpdaterDisplayInterface& display, const std::string& port) {
  if (port == kHidPort) return true;
  const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    display.message(kError, "Could not open serial port %s: %s", port.c_str(), std::strerror(errno));
    return false;
  }
  const bool terminal = ::isatty(fd) == 1;
  const int reason = errno;
  ::close(fd);
  if (!terminal) {
    display.message(kError, "%s is not a terminal: %s", port.c_str(), std::strerror(reason));
    return false;
  }
  return true;
}

bool RecoverySteps::_get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint,
                                         uint64_t* bytesSent) {
  NXPSerialClass isp;
  struct ReportSent {
    NXPSerialClass& isp;
    uint64_t* out;
    ~ReportSent() {
      if (out) *out = isp.bytesSent;
    }
  } report{isp, bytesSent};
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

bool RecoverySteps::_get_fingerprint_imx(UpdaterDisplayInterface& display, FirmwareSource& firmware, std::string port,
                                         uint32_t serialNumber, std::string file, Fingerprint& fingerprint,
                                         bool resetAfter, uint64_t strayBytes) {
  if (serialNumber == 0) serialNumber = FirmwareSource::DEFAULT_SERIAL_NUMBER;
  BirdFile bird;
  if (!_load_loader_bird(display, firmware, serialNumber, file, bird)) return false;
  if (_transfer_recovery_loader(display, bird, port, strayBytes) != aErrNone) {
    Log::log(Log::DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, uint8_t(0));
  if (_disableEther(module, display) != aErrNone) return false;
  bool connected = false;
  for (int attempt = 1; attempt <= CONNECT_ATTEMPTS && !connected; ++attempt) {
    if (attempt % 3 == 0) {
      Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      aDiscovery_RefreshUSB();
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

aErr RecoverySteps::_transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port,
                                              uint64_t strayBytes) {
  Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  if (std::none_of(blocks.begin(), blocks.end(), [](const BirdBlock& b) { return b.length >= 4; })) {
    display.message(kError, "The recovery image holds no loader for the i.MX boot ROM");
    return aErrNotFound;
  }
  SDPLoader sdp;
  if (port == kHidPort) {
    sdp.setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID));
  } else {
    sdp.setLoader(std::make_unique<Serial_SDPLoader>(port.c_str(), strayBytes));
  }
  if (sdp.init() != SDPLoader::SUCCESS) {
    if (port == kHidPort) {
      display.message(kError, "No i.MX boot ROM found on USB (%04X:%04X)", IMX1050::VID, IMX1050::PID);
    } else {
      display.message(kError, "Could not set up serial port %s for the i.MX boot ROM", port.c_str());
    }
    return aErrNotReady;
  }
  return _send_recovery_loader(display, bird, sdp, port);
}

uint32_t RecoverySteps::_jump_address(const BirdFile& bird) {
  const std::vector<BirdBlock> jumps = bird.FindBlocks(BirdFile::BLOCK_JUMP_ADDRESS);
  if (jumps.empty() || jumps.front().length < 4) return IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  return aByteOrder_ReadBE32(jumps.front().data);
}

aErr RecoverySteps::_send_recovery_loader(UpdaterDisplayInterface& display, const BirdFile& bird, SDPLoader& sdp,
                                          const std::string& port) {
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  int counter = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) {  // no load address: nothing that could be placed
      Log::log(Log::DEBUG_Updater, "Skipping loader block %d of %u bytes: no load address\n", counter,
               unsigned(block.length));
      ++counter;
      continue;
    }
    const uint32_t address = aByteOrder_ReadBE32(block.data);
    const std::vector<uint8_t> payload(block.data + 4, block.data + block.length);
    Log::log(Log::DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", counter, payload.size(), int(address));
    const int written = sdp.writeLoader(payload, address);
    if (written != SDPLoader::SUCCESS) {
      _show_loader_failure(display, sdp, written, port, counter + 1, payload.size(), address);
      return aErrConnection;
    }
    ++counter;
  }
  const uint32_t jump = _jump_address(bird);
  const int started = sdp.startLoader(jump);
  if (started == SDPLoader::NOT_A_ROM) {
    display.message(kError, "The device on %s sends back what it is sent: it is no i.MX boot ROM", port.c_str());
    return aErrConnection;
  }
  if (started == SDPLoader::NOT_COMPLETED) {
    display.message(kError, "The jump to the loader at address 0x%08X could not be sent on %s", jump, port.c_str());
    return aErrConnection;
  }
  if (started != SDPLoader::SUCCESS) {
    Log::log(Log::DEBUG_Updater, "Loader start at 0x%08X refused\n", jump);
    display.message(kError, "The boot ROM refused to start the loader at address 0x%08X: %s", jump,
                    _status_text(sdp.lastStatus()).c_str());
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
    for (int round = 0; round < CONNECT_ATTEMPTS && !connected; ++round) {
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

bool RecoverySteps::_recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port,
                                          uint32_t baud, Fingerprint&) {
  std::vector<FlashBlock> plan;
  if (!_plan_lpc_flash(display, bird, &plan)) return false;
  NXPSerialClass isp;
  const aErr opened = isp.Connect(port.c_str(), baud);
  if (opened != aErrNone) {
    Log::log(Log::DEBUG_Network, "Could not connect to %s\n", port.c_str());
    display.message(kError, "Recovery Error: could not open %s ==> [%d, %s]", port.c_str(), int(opened),
                    aError_GetErrorText(opened));
    return false;
  }
  return _flash_lpc_plan(display, bird, plan, isp);
}

bool RecoverySteps::_flash_lpc_image(UpdaterDisplayInterface& display, const BirdFile& bird, NXPSerialClass& isp) {
  std::vector<FlashBlock> plan;
  return _plan_lpc_flash(display, bird, &plan) && _flash_lpc_plan(display, bird, plan, isp);
}

namespace {

// A lock held (true), or the reason it is not, shown: `what` names the port as a sentence goes
// on ("serial port /dev/ttyUSB0").
bool _held_or_shown(UpdaterDisplayInterface& display, const FileLock& lock, std::string what) {
  if (lock.held()) return true;
  if (lock.busy()) {
    what[0] = char(std::toupper(static_cast<unsigned char>(what[0])));
    display.message(kError, "%s is busy: another run of the updater is using it", what.c_str());
  } else {
    display.message(kError, "Could not lock %s: %s", what.c_str(), std::strerror(lock.reason()));
  }
  return false;
}

// The ROM's USB HID device is opened by its ids alone, so two runs would both take whichever
// device answers to them first: the ids are the key. The lock is a hidden file of the store named
// by them, beside the module folders whose update locks it goes with.
bool _lock_hid_device(UpdaterDisplayInterface& display, const FirmwareSource& firmware, std::optional<FileLock>& lock) {
  const std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, firmware.StoreDir(), "_lock_hid_device");
  if (!store) return false;
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04X:%04X", unsigned(IMX1050::VID), unsigned(IMX1050::PID));
  char lockFile[32];
  std::snprintf(lockFile, sizeof lockFile, ".usb-%04X-%04X.lock", unsigned(IMX1050::VID), unsigned(IMX1050::PID));
  lock.emplace(BuildPath(store->BasePath(), lockFile, nullptr), FileLock::Wait::not_at_all);
  return _held_or_shown(display, *lock, std::string("USB device ") + ids);
}

// Two runs on one bootloader would interleave their bytes to the chip (a probe in the middle of
// a flash write bricks it, two loaders written at once leave the ROM with neither), whatever
// module it turns out to be: the port, a serial port or the text "USB" for the ROM's USB HID
// device, is locked for the whole run, and another run finds it busy and sends nothing. False,
// shown, when the lock cannot be had.
bool _lock_recovery_port(UpdaterDisplayInterface& display, const FirmwareSource& firmware, const std::string& port,
                         std::optional<FileLock>& lock) {
  if (port == kHidPort) return _lock_hid_device(display, firmware, lock);
  lock.emplace(::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), FileLock::Wait::not_at_all);
  return _held_or_shown(display, *lock, "serial port " + port);
}

// The module's update lock, the one the update road takes, for a serial number that names a
// module (0 and the default serial number name none). False, shown, when it cannot be had.
bool _lock_module(UpdaterDisplayInterface& display, const FirmwareSource& firmware, uint32_t serialNumber,
                  std::optional<StoreLock>& lock) {
  if (serialNumber == 0 || serialNumber == FirmwareSource::DEFAULT_SERIAL_NUMBER) return true;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, firmware.StoreDir(), "Recover_Firmware");
  if (!store) return false;
  try {
    lock = _lock_module_update(display, store->AddDevice(serialNumber), serialNumber);
  } catch (const std::runtime_error&) {
    display.message(kError, "Could not create directory for storing BIRD file");
    return false;
  }
  return lock.has_value();
}

// The fingerprint through the chip's bootloader on a port this run holds locked; notes the kind
// of chip that answered.
bool _fingerprint_on_locked_port(UpdaterDisplayInterface& display, FirmwareSource& firmware, uint8_t& chipKind,
                                 Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                                 const std::string& file, uint32_t baud, bool resetAfter) {
  uint64_t probeBytes = 0;
  if (_get_fingerprint_lpc(port, baud, fingerprint, &probeBytes)) {
    chipKind = Recovery::CHIP_KIND_LPC;
    return true;
  }
  chipKind = Recovery::CHIP_KIND_IMX;
  return RecoverySteps::_get_fingerprint_imx(display, firmware, port, serialNumber, file, fingerprint, resetAfter,
                                             probeBytes);
}

}  // namespace

bool Recovery::Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serialNumber, std::string file,
                               uint32_t baud, bool resetAfter) {
  UpdaterDisplayInterface& display = firmware.Display();
  if (_refuse_unknown_baud(display, baud)) return false;
  if (!_check_serial_port(display, port)) return false;
  std::optional<FileLock> portLock;
  if (!_lock_recovery_port(display, firmware, port, portLock)) return false;
  return _fingerprint_on_locked_port(display, firmware, chipKind, fingerprint, port, serialNumber, file, baud,
                                     resetAfter);
}

bool Recovery::Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serialNumber,
                                std::string file, bool, bool ueiBytesLoad) {
  UpdaterDisplayInterface& display = firmware.Display();
  const uint64_t start = aTime_GetMSTicks();
  if (_refuse_unknown_baud(display, baud)) return false;
  if (!_check_serial_port(display, port)) {
    display.message(kError, "Could not get Device Identifier");
    return false;
  }
  // Held to the end: the port before anything is sent on it, the module's update lock as soon as
  // its serial number is known (given, else once the server names it), before the chip is erased.
  std::optional<FileLock> portLock;
  std::optional<StoreLock> givenModuleLock;
  std::optional<StoreLock> namedModuleLock;
  if (!_lock_recovery_port(display, firmware, port, portLock)) return false;
  if (!_lock_module(display, firmware, serialNumber, givenModuleLock)) return false;
  Fingerprint fingerprint;
  // The chip's bootloader locks on to the rate of its synchronisation, so the fingerprint is
  // taken at the rate the flash road will use.
  if (!_fingerprint_on_locked_port(display, firmware, chipKind, fingerprint, port, serialNumber, file, baud, false)) {
    display.message(kError, "Could not get Device Identifier");
    return false;
  }
  uint32_t serverBuild = 0;
  if (file.empty()) {
    const uint32_t givenSerialNumber = serialNumber;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &serverBuild,
                                              firmware.ServerUrl().c_str())) {
      display.message(kError, "Failed to retrieve recovery information from Tarnwick server");
      return false;
    }
    if (build != 0) serverBuild = build;
    if (serialNumber != givenSerialNumber && !_lock_module(display, firmware, serialNumber, namedModuleLock))
      return false;
  }
  BirdFile bird;
  try {
    bird = firmware.load_bird("Recovering", file, serialNumber, serverBuild, true);
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
