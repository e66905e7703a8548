// The recovery roads of the updater: reading a processor's fingerprint through its ROM
// bootloader, and loading a recovery build into a module whose firmware does not run. An LPC
// chip is flashed over its in-system-programming protocol; an i.MX chip is given the live
// loader over its serial download protocol (a serial port, or the ROM's USB HID device for the
// port text "USB"), which then answers on USB as a module and takes the firmware through the
// in-band upgrade protocol.
//
// Everything runs on the caller's thread and blocks; every transport, client and module is made
// inside the call that uses it and released on return. Recovery::Get_Fingerprint and
// Recovery::Recover_Firmware (Recovery.h) are the entry points; these routines are their steps.
#pragma once

#include <cstdint>
#include <string>

#include "common/aError.h"
#include "firmware/BirdFile.h"
#include "firmware/Fingerprint.h"
#include "firmware/FirmwareSource.h"
#include "firmware/UpdaterDisplayInterface.h"

namespace RecoverySteps {

// The LPC fingerprint: the four numbers of the chip's device-identification reply, read over
// ISP at baud after synchronising. False when no LPC bootloader answers on the port.
// *bytesSent (when given) tells how many bytes the probe put on the line.
bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint, uint64_t* bytesSent = nullptr);

// The i.MX fingerprint: loads the live loader (the bird file given, else the store's latest
// download for the serial number, downloaded when the store has none), reaches it on USB under
// the default serial number or the given one, and reads the system entity's unique identifier.
// With resetAfter the live loader is reset afterwards. Serial number 0 means the default.
// strayBytes: what was sent on a serial port before (see _transfer_recovery_loader).
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, FirmwareSource& firmware, std::string port,
                          uint32_t serialNumber, std::string file, Fingerprint& fingerprint, bool resetAfter,
                          uint64_t strayBytes = 0);

// Sends the bird file's loader blocks to the i.MX ROM on the port and starts the loader; fails,
// showing what failed, when the file has no loader block (before anything is sent), the ROM's
// transport cannot be opened, a block is not accepted or the start is refused. strayBytes: the
// bytes sent on the serial port before (a probe for another bootloader), which a ROM may have
// taken as the start of a command.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port,
                               uint64_t strayBytes = 0);

// Whether the port text names a serial port that can be opened and is a terminal; otherwise
// shows why not, with the system's reason. The text "USB" names no serial port and passes.
bool _check_serial_port(UpdaterDisplayInterface& display, const std::string& port);

// Flashes the (already descrambled) firmware blocks into an LPC chip that was synchronised at
// baud. Before anything is erased the blocks to write are judged: refused when there are none,
// or one lies outside the flash, off a 256-byte boundary, or over another. Every failure is
// shown with what failed (and the chip's return code), and echo is switched back on on every
// way out.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port, uint32_t baud,
                           Fingerprint& fingerprint);

// Reaches the running live loader on USB (default serial number first, then the given one) and
// sends it the firmware through the in-band upgrade protocol.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serialNumber, bool ueiBytesLoad);

}  // namespace RecoverySteps
