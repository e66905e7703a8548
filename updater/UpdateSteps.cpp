#include "updater/UpdateSteps.h"

#include <vector>

#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "updater/Log.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"

using namespace Tarnwick::Quillfern;

namespace {

constexpr uint32_t UPD = Log::DEBUG_Updater;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

int _count(const std::vector<BirdBlock>& blocks) { return static_cast<int>(blocks.size()); }

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module, uint32_t serialNumber) {
  if (bird.blockCount == 0) return false;
  if (!bird.hasSerialBlocks && !bird.ValidateSerialNumber(serialNumber)) return false;
  Log::log(UPD, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t deviceSerial = 0;
  const aErr serialRead = system.getSerialNumber(&deviceSerial);
  if (serialRead != aErrNone) deviceSerial = 0;
  if (deviceSerial != serialNumber) {
    Log::log(UPD, "Bird serial number and connected device don't match (%d).\n", serialRead);
    return false;
  }
  uint8_t model = 0;
  const aErr modelRead = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                    name, modelRead);
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(UPD, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
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
      if (err == aErrNone) err = prepared;
      break;
    }
    const aErr transferred = entity.LoaderTransfer(block.data, block.length);
    if (transferred != aErrNone) {
      Log::log(UPD, "Error loader transfer [%d, %s].\n", transferred, aError_GetErrorText(transferred));
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
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error starting loader [%d, %s]", err,
                    aError_GetErrorText(err));
  return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird, bool skipLinkDropWait,
                        bool ueiBytesLoad) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, skipLinkDropWait);
  if (ueiBytesLoad && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
  Log::log(UPD, "Transferring firmware to device %s\n", bird.path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  unsigned number = 1;
  int total = 0;
  aErr err = aErrNone;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < Updater::BLOCK_RETRIES; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
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
      break;
    }
    total += static_cast<int>(block.length);
    ++number;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(number - 1), total);
  return err != aErrNone ? err : entity.LoaderReboot(display);
}
