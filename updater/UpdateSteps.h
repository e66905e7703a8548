// The steps of an update shared by the update and the recovery roads: the check that a bird
// file belongs to the connected module, the loader phase (start the loader, send its blocks, run it) and the firmware phase (each firmware block
// prepared and sent up to BLOCK_RETRIES times, then the reboot). Both run on the caller's
// thread over a connected module and tell the user through the display; the caller reconnects
// between them when the module dropped its link to run the loader.
#pragma once

#include "api/Module.h"
#include "common/aError.h"
#include "updater/BirdFile.h"
#include "updater/UpdaterDisplayInterface.h"

// Whether the bird file fits the module: it has blocks, names the serial number unless it
// carries serial-number blocks (then it was patched with it), and the module reports that serial
// number and the bird file's model. Only a model mismatch is shown; every failure is logged.
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Tarnwick::Quillfern::Module& module,
                        uint32_t serialNumber);

// Starts the loader, sends every loader block and makes the module run the loader. A loader
// that was taken without an answer (aErrTimeout from the start) counts as started. A failed
// block does not stop the blocks after it, but the loader is then not started: the first
// failure is returned.
aErr _transfer_loader(UpdaterDisplayInterface& display, Tarnwick::Quillfern::Module& module, const BirdFile& bird);

// Sends every firmware block (with ueiBytesLoad as UEI byte arrays, and pooled writes, when the
// module offers them), then reboots the module. A block that fails BLOCK_RETRIES times, or whose
// PREPARE fails, ends the transfer with its error and no reboot.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Tarnwick::Quillfern::Module& module, const BirdFile& bird,
                        bool skipLinkDropWait, bool ueiBytesLoad);
