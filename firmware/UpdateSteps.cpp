#include "firmware/UpdateSteps.h"

#include <chrono>
#include <thread>
#include <vector>

#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "common/discover.h"
#include "firmware/Log.h"
#include "firmware/UpdaterEntity.h"

using namespace UpdateSteps;
using namespace UpdaterRoutines;

using namespace Tarnwick::Quillfern;

namespace {

constexpr uint32_t UPD = Log::DEBUG_Updater;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto kLinkPoll = std::chrono::milliseconds(20);
constexpr auto ERR = UpdaterDisplayInterface::LEVEL_ERROR;
// The USB context is made afresh before every third reconnect try.
constexpr int kTriesPerUsbRefresh = 3;

int _count(const std::vector<BirdBlock>& blocks) { return static_cast<int>(blocks.size()); }

// A stream that failed or ended never runs again by itself; a synchronising link may.
bool _link_lost(linkStatus status) { return status == IO_ERROR || status == UNKNOWN_ERROR || status == STOPPED; }

// Whether a module reached directly answers one address query (its address is taken from the
// answer): one bounded wait per try, so that a silent module costs each try little.
aErr _answers(Module& target) {
  uint8_t address = 0;
  const aErr answered = target.getLink() ? target.getLink()->getModuleAddress(&address) : aErrConnection;
  if (answered == aErrNone && address != 0) target.setModuleAddress(address);
  return answered;
}

// One try to reach the target again by its first road. A try counts only when the module
// answers; one that does not is disconnected, so that the next try is a real one.
bool _reconnect_try(UpdaterDisplayInterface& display, Module& target, UpdateRoute& route) {
  aErr result = aErrConnection;
  if (route.router) {
    // The router's link is up; the module behind it is asked by the transfer itself.
    Module linkModule(0, 0);
    if (connect_link_module(display, linkModule, route) == aErrNone)
      result = target.connectThroughLinkModule(&linkModule);
  } else {
    // The place the first connection went to: USB by the serial number (through the kernel
    // driver's node when there is one, else the USB context), TCP/IP to the same address, a
    // serial port by its path. A module restarting into its loader comes back there.
    target.setNetworkingMode(false);
    result = target.reconnect();
    target.setNetworkingMode(true);
    if (result == aErrNone) result = _answers(target);
  }
  if (result == aErrNone && target.isConnected()) return true;
  target.disconnect();
  return false;
}

// Before every third try over USB the context is made afresh, so that enumeration sees the
// module that re-enumerated to run its loader, unless a device handle still holds it (a router
// module connected over USB).
void _refresh_usb_context(int attempt, const UpdateRoute& route) {
  if (route.transport != USB || attempt % kTriesPerUsbRefresh != 0) return;
  if (!aDiscovery_RefreshUSB()) return;
  Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
}

}  // namespace

aErr UpdaterRoutines::_disableEther(Module& module, UpdaterDisplayInterface& display) {
  OrvaneConfig direct;  // port 0 and interface 127.0.0.1 as constructed
  direct.enabled = 0;
  direct.fallback = 0;
  direct.localOnly = 1;
  const aErr result = module.setConfig(direct);
  if (result != aErrNone) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  return result;
}

aErr connect_direct(Module& module, uint32_t serialNumber, linkType& used) {
  used = USB;
  aErr result = module.connect(USB, serialNumber);
  if (result != aErrNotFound) return result;
  used = TCPIP;
  return module.connect(TCPIP, serialNumber);
}

aErr connect_link_module(UpdaterDisplayInterface& display, Module& linkModule, UpdateRoute& route) {
  aErr result = _disableEther(linkModule, display);
  if (result != aErrNone) return result;
  result = connect_direct(linkModule, route.router, route.transport);
  if (result != aErrNone) display.message(ERR, "Failed to connect to link module [%08X]", route.router);
  return result;
}

aErr reconnect_after_loader(UpdaterDisplayInterface& display, Module& target, UpdateRoute& route) {
  using Clock = std::chrono::steady_clock;
  const auto dropped = Clock::now() + std::chrono::milliseconds(update_road_pauses().loaderDropMs);
  while (target.isConnected() && Clock::now() < dropped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (target.isConnected()) return aErrNone;
  target.disconnect();
  for (int attempt = 1; attempt <= CONNECT_ATTEMPTS; ++attempt) {
    _refresh_usb_context(attempt, route);
    if (_reconnect_try(display, target, route)) return aErrNone;
    std::this_thread::sleep_for(std::chrono::milliseconds(update_road_pauses().reconnectPauseMs));
  }
  display.message(ERR, "Module [%08X] did not come back after starting its loader", route.serialNumber);
  return aErrConnection;
}

UpdateRoadPauses& update_road_pauses() {
  static UpdateRoadPauses pauses;
  return pauses;
}

bool await_running_link(Module& module) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(update_road_pauses().linkRecoveryMs);
  for (;;) {
    if (module.isConnected()) return true;
    if (Clock::now() >= deadline) return false;
    if (_link_lost(module.getStatus())) {
      Log::log(Log::DEBUG_Network, "NETWORK: Link lost, reconnecting before the retry\n");
      module.disconnect();
      if (module.reconnect() == aErrNone && module.isConnected()) return true;
    }
    std::this_thread::sleep_for(kLinkPoll);
  }
}

bool UpdateSteps::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module,
                                     uint32_t serialNumber) {
  if (bird.blockCount == 0) {
    display.message(ERR, "Bird file holds no blocks");
    return false;
  }
  if (!bird.hasSerialBlocks && !bird.ValidateSerialNumber(serialNumber)) {
    display.message(ERR, "Bird file is not made for module [%08X]", serialNumber);
    return false;
  }
  Log::log(UPD, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t deviceSerial = 0;
  const aErr serialRead = system.getSerialNumber(&deviceSerial);
  if (serialRead != aErrNone) {
    // A module that answers too late (or not at all) is no module of another serial number.
    display.message(ERR, "Module [%08X] did not answer the serial number request [%d, %s]", serialNumber, serialRead,
                    aError_GetErrorText(serialRead));
    deviceSerial = 0;
  }
  if (deviceSerial != serialNumber) {
    Log::log(UPD, "Bird serial number and connected device don't match (%d).\n", serialRead);
    if (serialRead == aErrNone)
      display.message(ERR, "Connected module [%08X] is not module [%08X]", deviceSerial, serialNumber);
    return false;
  }
  uint8_t model = 0;
  const aErr modelRead = system.getModel(&model);
  if (modelRead != aErrNone) {
    display.message(ERR, "Module [%08X] did not answer the model request [%d, %s]", serialNumber, modelRead,
                    aError_GetErrorText(modelRead));
    return false;
  }
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(ERR, "Connected device model and Bird file model do not match [%s] (%d)", name, modelRead);
    return false;
  }
  return true;
}

aErr UpdateSteps::_transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(UPD, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    display.message(ERR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
    return err;
  }
  display.message(INFO, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int sent = 1;
  int total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(INFO, "Transferring loader block %d of %d, %d bytes", sent, _count(blocks),
                    static_cast<int>(block.length));
    uint16_t blockSize = 0;
    const aErr prepared = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    // An unanswered PREPARE does not stop the block: the data still show whether it was taken.
    if (prepared != aErrNone && prepared != aErrTimeout) {
      Log::log(UPD, "Error Preparing transfer [%d, %s].\n", prepared, aError_GetErrorText(prepared));
      display.message(ERR, "Error Preparing transfer [%d, %s]", prepared, aError_GetErrorText(prepared));
      if (err == aErrNone) err = prepared;
      break;
    }
    const aErr transferred = entity.LoaderTransfer(block.data, block.length);
    if (transferred != aErrNone) {
      Log::log(UPD, "Error loader transfer [%d, %s].\n", transferred, aError_GetErrorText(transferred));
      display.message(ERR, "Error loader transfer [%d, %s]", transferred, aError_GetErrorText(transferred));
      // A loader with a block missing must never run.
      if (err == aErrNone) err = transferred;
      continue;
    }
    total += static_cast<int>(block.length);
    ++sent;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent - 1, total);
  display.display_progress(false);
  if (err != aErrNone) return err;
  display.message(INFO, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(UPD, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    return aErrNone;
  }
  if (err != aErrNone) display.message(ERR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
  return err;
}

aErr UpdateSteps::_transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird,
                                     bool skipLinkDropWait, bool ueiBytesLoad) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, skipLinkDropWait);
  if (ueiBytesLoad && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
  Log::log(UPD, "Transferring firmware to device %s\n", bird.path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  unsigned number = 1;
  int total = 0;
  aErr err = aErrNone;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < BLOCK_RETRIES; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) {
        display.message(INFO, "  Retry %d", attempt);
        // The fault that failed the last attempt may have left the link resynchronising or
        // dropped: a PREPARE sent now would fail at once or be lost.
        await_running_link(module);
      }
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
      if (err != aErrNone) {
        Log::log(UPD, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
      if (err == aErrNone) break;
      Log::log(UPD, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
    }
    if (err != aErrNone) {
      Log::log(UPD, "Error firmware transfer block failed.\n");
      display.message(ERR, "Firmware block %u failed [%d, %s]", number, err, aError_GetErrorText(err));
      break;
    }
    total += static_cast<int>(block.length);
    ++number;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(number - 1), total);
  return err != aErrNone ? err : entity.LoaderReboot(display);
}
