// The recovery roads' steps after the ROM's transport is open, named so that they can run over
// any serial download session or ISP stream (the roads themselves open the port first).
#pragma once

#include <cstdint>
#include <string>

#include "common/aError.h"
#include "firmware/BirdFile.h"
#include "firmware/UpdaterDisplayInterface.h"
#include "recovery/SDPLoader.h"

class NXPSerialClass;

namespace RecoverySteps {

// Where the live loader starts: the first jump-address block's word (big-endian), or the
// loader's default IVT address when the file has none of at least four bytes.
uint32_t _jump_address(const BirdFile& bird);

// Writes every loader block that holds a load address (its first four bytes, big-endian) through
// the session and then starts the loader at _jump_address. aErrNone only when the ROM confirmed
// every write and let go at the jump; otherwise aErrConnection, shown with what the ROM said
// (`port` names the transport in the messages).
aErr _send_recovery_loader(UpdaterDisplayInterface& display, const BirdFile& bird, SDPLoader& sdp,
                           const std::string& port);

// The LPC road on a chip that answers on the client's stream (synchronised already): judges the
// (already descrambled) firmware blocks as _recover_firmware_lpc does, then unlocks, prepares and
// erases the whole flash, writes every block and starts the chip from address 0. True only when
// every step was answered with success; every failure is shown.
bool _flash_lpc_image(UpdaterDisplayInterface& display, const BirdFile& bird, NXPSerialClass& isp);

}  // namespace RecoverySteps
