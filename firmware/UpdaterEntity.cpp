#include "firmware/UpdaterEntity.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "api/SystemClass.h"
#include "common/aByteOrder.h"
#include "firmware/Log.h"

using namespace Tarnwick::Quillfern;

namespace {

constexpr uint32_t FIRM = Log::DEBUG_Network_FIRM;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
constexpr uint32_t kLoaderReconnectDelayMs = 500;
constexpr uint8_t kStatusUnset = 0xFF;

uint32_t _byte_sum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t at = 0; at < length; ++at) sum += data[at];
  return sum;
}

// The status byte of a [5F 07 status ...] reply; unset when the reply is too short to carry it.
uint8_t _status(const uint8_t* reply, uint8_t length) { return length > 2 ? reply[2] : kStatusUnset; }

bool _holds_address(const uint8_t* data, uint32_t length) { return data && length >= 4; }

}  // namespace

UpdaterEntity::UpdaterEntity() = default;
UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* target, uint8_t index, bool verify, bool skipDropWait) {
  module = target;
  verifyTransfer = verify;
  skipLinkDropWait = skipDropWait;
  useUEIData = false;
  EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::_request(uint8_t option, const uint8_t* arguments, uint8_t count) {
  uint8_t data[aPACKET_MAX_DATA] = {option};
  if (count) std::memcpy(data + 1, arguments, count);
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), data);
}

aErr UpdaterEntity::_send(uint8_t option, const uint8_t* arguments, uint8_t count, const char* name) {
  const aErr err = _request(option, arguments, count);
  if (err != aErrNone) Log::log(FIRM, "NETWORK: Error sending %s (%d)\n", name, err);
  return err;
}

aErr UpdaterEntity::_await(uint8_t option, uint8_t* reply, uint8_t* length) {
  const uint8_t match[2] = {cmdUPGRADE, option};
  std::memset(reply, 0, aPACKET_MAX_DATA);
  *length = sizeof match;
  const aErr received = receivePacket(match, length, reply);
  if (received != aErrNone) *length = 0;
  return received;
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = _send(val_UPGRADE_INIT, nullptr, 0, "UPGRADE_INIT");
  if (err != aErrNone) return err;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = _await(val_UPGRADE_INIT, reply, &length);
  if (err != aErrNone) return err;
  if (length <= 5) return aErrPacket;
  const uint32_t base = aByteOrder_ReadBE32(reply + 2);
  Log::log(FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  Log::log(FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags, blockSize);
  if (!_holds_address(data, length)) return aErrParam;
  Log::log(FIRM, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           data[0], data[1], data[2], data[3]);
  Log::log(FIRM, "NETWORK: Address: %d\n", static_cast<int>(aByteOrder_ReadBE32(data)));
  const uint8_t arguments[5] = {flags, data[0], data[1], data[2], data[3]};
  aErr err = _send(val_UPGRADE_PREPARE, arguments, sizeof arguments, "UPGRADE_PREPARE");
  if (err != aErrNone) return err;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = _await(val_UPGRADE_STATUS, reply, &replyLength);
  if (err != aErrNone) return err;
  // A reply too short for the block size is no validation either.
  if (_status(reply, replyLength) != 0 || replyLength < 5) {
    Log::log(FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  blockSize = aByteOrder_ReadBE16(reply + 3);
  Log::log(FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (!_holds_address(data, length)) return aErrParam;
  Log::log(FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aByteOrder_ReadBE32(data),
           static_cast<int>(length - 4));
  uint32_t packets = 0;
  return _block_transfer(data + 4, length - 4, packets);
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = _send(val_UPGRADE_LOAD, nullptr, 0, "UPGRADE_LOAD");
  if (err != aErrNone) return err;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (_await(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
    Log::log(FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // The module may already have dropped its link to run the loader.
  err = _reconnect(kLoaderReconnectDelayMs);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err, aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = _await(val_UPGRADE_LOAD, reply, &length);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  Log::log(FIRM, "NETWORK: Loader validated start (Reconnect)\n");
  return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (!module) return aErrResource;
  module->disconnect();
  aErr err = aErrConnection;
  for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(Log::DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", static_cast<int>(attempt),
             static_cast<int>(kReconnectAttempts));
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(Log::DEBUG_Network, "NETWORK: Reconnected to device\n");
      break;
    }
    Log::log(Log::DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  }
  return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (!module) return aErrResource;
  const aErr answer = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
  Log::log(FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", answer);
  if (answer == aErrNone) useUEIData = true;
  return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (!module) return aErrResource;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  const aErr err = system.getProtocolFeatures(&features);
  Log::log(FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone) return err;
  if (!(features & kPooledPacketsFeature)) return aErrNone;
  Link* link = module->getLink();
  return link ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets) {
  uint32_t sum = 0;
  uint32_t sent = 0;
  Log::log(FIRM, "\nNETWORK: Block Transfer\n");
  aErr err = aErrNone;
  if (useUEIData) {
    err = _block_transfer_uei_helper(data, length, packets, sum);
    if (err != aErrNone) return err;
    Log::log(FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
  } else {
    err = _data_packets(data, length, packets, sum, sent);
  }
  Log::log(FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(sent), static_cast<int>(length));
  if (err != aErrNone || !verifyTransfer) return err;
  return _verify_sum(sum, packets);
}

aErr UpdaterEntity::_data_packets(const uint8_t* data, uint32_t length, uint32_t& packets, uint32_t& sum,
                                  uint32_t& sent) {
  uint32_t remaining = length;
  uint32_t resends = 0;
  while (remaining) {
    const uint32_t n = std::min(remaining, kDataChunk);
    const uint8_t* chunk = data + (length - remaining);
    Log::log(FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", static_cast<int>(n));
    const aErr err = _request(val_UPGRADE_DATA, chunk, static_cast<uint8_t>(n));
    if (err != aErrNone) {
      Log::log(FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
      return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) {
      Log::log(FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      return aErrPacket;
    }
    // A reply without its count byte is a wrong echo.
    const uint32_t echo = replyLength > 2 ? reply[2] : 0;
    if (echo != n) {
      Log::log(FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", static_cast<int>(echo),
               static_cast<int>(n));
      if (++resends > kMaxEchoResends) return aErrPacket;
      continue;
    }
    resends = 0;
    sum += _byte_sum(chunk, n);
    remaining -= n;
    sent += n;
    ++packets;
    Log::log(FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(n),
             static_cast<int>(remaining), static_cast<int>(length));
  }
  return aErrNone;
}

aErr UpdaterEntity::_verify_sum(uint32_t sum, uint32_t packets) {
  Log::log(FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  _request(val_UPGRADE_SUM, nullptr, 0);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (_await(val_UPGRADE_STATUS, reply, &length) != aErrNone) {
    Log::log(FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  const uint8_t status = _status(reply, length);
  // A reply too short to carry the device's sum cannot confirm the transfer.
  const bool carriesSum = length >= 7;
  const uint32_t deviceSum = aByteOrder_ReadBE32(reply + 3);
  if (status == 0 && carriesSum && deviceSum == sum) {
    Log::log(FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum, deviceSum,
             static_cast<int>(packets));
    return aErrNone;
  }
  Log::log(Log::ALWAYS, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, deviceSum);
  return aErrInvalidOption;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& packets, uint32_t& sum) {
  Log::log(FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", static_cast<int>(length));
  const aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
  if (err != aErrNone) {
    Log::log(FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  sum += _byte_sum(data, length);
  packets = 1;
  return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!_holds_address(data, length)) return aErrParam;
  Log::log(FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aByteOrder_ReadBE32(data),
           static_cast<int>(length - 4));
  uint32_t remaining = length - 4;
  const uint8_t* position = data + 4;
  uint32_t packets = 0;
  Log::timestamped = false;
  display.display_progress(true);
  // No chunk of 0 bytes could ever make progress.
  aErr err = remaining && blockSize == 0 ? aErrSize : aErrNone;
  while (remaining && err == aErrNone) {
    const uint32_t n = std::min<uint32_t>(remaining, blockSize);
    err = _block_transfer(position, n, packets);
    if (err != aErrNone) break;
    remaining -= n;
    position += n;
    ++packets;
    display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
    Log::log(FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(n),
             static_cast<int>(remaining), static_cast<int>(length));
    err = FirmwareWrite(n);
  }
  display.display_progress(false);
  Log::log(FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != aErrNone) Log::log(Log::ALWAYS, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
  Log::log(FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", static_cast<int>(count));
  uint8_t arguments[2];
  aByteOrder_WriteBE16(arguments, static_cast<uint16_t>(count));
  const aErr err = _request(val_UPGRADE_WRITE, arguments, sizeof arguments);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr received = _await(val_UPGRADE_STATUS, reply, &length);
  if (received != aErrNone || _status(reply, length) != 0) {
    Log::log(FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const aErr sent = _request(val_UPGRADE_REBOOT, nullptr, 0);
  if (sent != aErrNone) Log::log(FIRM, "NETWORK: Error sending Loader REBOOT\n");
  // A module that keeps its link up must not hold the update forever.
  for (uint32_t pass = 0; module && module->isConnected() && pass < kRebootWaitPasses; ++pass) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    display.update_spinner(true, "Verifying Update");
    Log::log(FIRM, "Waiting for link to drop.\n");
    Log::log(FIRM, "Rebooting Device\n");
    if (skipLinkDropWait) break;
  }
  display.update_spinner(false, "Verifying Update");
  return sent;
}
