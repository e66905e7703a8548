// The in-band upgrade protocol (command cmdUPGRADE, 0x5F): starts the module's loader, streams
// loader and firmware blocks to it in data packets (or UEI byte arrays), has the module confirm
// each run of bytes by a byte sum, commits each firmware chunk and reboots the module.
//
// Requests are raw packets [5F option ...] to the module's address; multi-byte values are
// big-endian. Each awaited reply is the first inbound packet beginning with the given two bytes,
// within 1000 ms:
//   INIT     [5F 00]                    -> [5F 00 base32]            (more than 5 bytes)
//   DATA     [5F 01 1..26 bytes]        -> [5F 01 n]                 (n bytes taken)
//   LOAD     [5F 02]                    -> [5F 02]
//   PREPARE  [5F 03 flags address32]    -> [5F 07 status size16]
//   SUM      [5F 04]                    -> [5F 07 status sum32]
//   WRITE    [5F 05 count16]            -> [5F 07 status]
//   REBOOT   [5F 06]                    -> none
//   DATA_UEI a UEI set of option 10 of entity class 0x5F carrying a byte array.
//
// Contracts:
// - Block data are as a bird file holds them: a 4-byte big-endian load address, then the
//   payload; length counts both. A null block or one shorter than 4 bytes is refused.
// - A reply too short to hold the fields it is read for counts as an error reply; nothing is
//   ever read past a reply's length.
// - Every wait is bounded: a chunk is sent again at most kMaxEchoResends times after a wrong
//   echo (then aErrPacket), and LoaderReboot waits at most kRebootWaitPasses passes of 250 ms
//   for the link to drop.
// - Everything runs on the caller's thread; one entity is used by one thread. The entity does
//   not own the module.
#pragma once

#include <cstdint>

#include "api/Entity.h"
#include "api/Module.h"
#include "common/aDefs.h"
#include "firmware/UpdaterDisplayInterface.h"

class UpdaterEntity : public Tarnwick::Quillfern::EntityClass {
 public:
  enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
  };
  // Payload bytes of one DATA packet: 28 data bytes less command and option.
  static constexpr uint32_t kDataChunk = 26;
  static constexpr uint32_t kMaxEchoResends = 5;
  static constexpr uint32_t kReconnectAttempts = 5;
  static constexpr uint32_t kRebootWaitPasses = 12;

  UpdaterEntity();
  ~UpdaterEntity() override;

  // Binds the entity to class 0x5F with this index on the module and clears useUEIData.
  void init(Tarnwick::Quillfern::Module* module, uint8_t index, bool verifyTransfer, bool skipLinkDropWait);

  // INIT: a reply of 5 bytes or fewer (no base address) fails.
  aErr LoaderInit();
  // PREPARE for one block: blockSize receives the module's chunk size on success.
  aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
  // Sends a loader block's payload, checked by its sum (no WRITE).
  aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  // LOAD; when unanswered, reconnects and waits once more. aErrTimeout when the loader never
  // answered (it may have been taken all the same).
  aErr LoaderStart();
  // Switches to UEI byte arrays when the module offers a set of option 10; the answer.
  aErr CheckUEIDataSupport();
  // Turns pooled writes on when bit 31 of the module's protocol features is set.
  aErr CheckPooledPacketsSupport();
  // Sends a firmware block in chunks of blockSize, each checked and written, with a progress
  // bar. A block with payload needs a blockSize above 0.
  aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
  // WRITE of the chunk just sent; fails when unanswered or refused.
  aErr FirmwareWrite(uint32_t count);
  // REBOOT, then waits (bounded) for the link to drop; the send result.
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  Tarnwick::Quillfern::Module* module = nullptr;
  bool verifyTransfer = true;
  bool skipLinkDropWait = false;
  bool useUEIData = false;

 private:
  aErr _reconnect(uint32_t delayMs);
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets);
  aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& packets, uint32_t& sum);
  aErr _data_packets(const uint8_t* data, uint32_t length, uint32_t& packets, uint32_t& sum, uint32_t& sent);
  aErr _verify_sum(uint32_t sum, uint32_t packets);
  aErr _request(uint8_t option, const uint8_t* arguments, uint8_t count);
  // _request, logging a failure as "Error sending NAME (code)".
  aErr _send(uint8_t option, const uint8_t* arguments, uint8_t count, const char* name);
  // Awaits [5F option ...]; the reply's data (zero past its length) and data length.
  aErr _await(uint8_t option, uint8_t* reply, uint8_t* length);
};
