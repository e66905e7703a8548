// The i.MX recovery road's steps after the ROM's transport is open, named so that they can run
// over any serial download session (the road itself opens the HID or serial transport first).
#pragma once

#include <cstdint>
#include <string>

#include "common/aError.h"
#include "recovery/SDPLoader.h"
#include "updater/BirdFile.h"
#include "updater/UpdaterDisplayInterface.h"

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

}  // namespace RecoverySteps
