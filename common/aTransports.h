// The transports the link core opens and the Linux layer (platform/) provides: serial ports,
// USB modules and USB enumeration. The core declares them here so that it names no platform
// header; each is implemented in platform/.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"
#include "common/discover.h"

// ---- serial ports ------------------------------------------------------------------------------
// Serial port streams over termios: raw bytes, or link packets in COBS frames with a CRC-8
// (common/aStream_CobsEncoding.h). The port is set to raw mode at the chosen speed; get never
// waits (a read returns at once with whatever is waiting), the stream's wait procedure lets a
// reader sleep until input arrives (aStream_WaitReadable), and writes return once the bytes have
// been transmitted. Deleting the stream puts the port's settings back as they were found.

// The only speeds a serial stream can have; a stream is opened by the index of its speed here
// (the baud index). Every part of the system that names a rate takes it from this table.
inline constexpr uint32_t aSERIAL_BAUD_RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
inline constexpr int32_t aSERIAL_BAUD_RATE_COUNT =
    static_cast<int32_t>(sizeof aSERIAL_BAUD_RATES / sizeof aSERIAL_BAUD_RATES[0]);

// The baud index of a rate of the table, or -1 for any other rate.
constexpr int32_t aSerial_BaudIndex(uint32_t baudRate) {
  for (int32_t index = 0; index < aSERIAL_BAUD_RATE_COUNT; ++index)
    if (aSERIAL_BAUD_RATES[index] == baudRate) return index;
  return -1;
}

// Opens the port at path with the speed of baudIndex, even parity when parity is non-zero (else
// none), 8 data bits for dataSelector 0 or 7 for 1, one stop bit for stopSelector 0 or two for 1,
// and stores a raw stream of its bytes, which the caller owns. A missing device (aErrNotFound)
// and denied access (aErrPermission) are told apart from other failures; bad arguments (a path
// longer than 4096 characters, a baud index outside the table, a selector other than 0 and 1)
// open nothing. The stream pointer is cleared first when the arguments are good.
aErr aStream_CreateSerial(const char* path, int32_t baudIndex, int parity, int dataSelector, int stopSelector,
                          aStream** stream);

// As aStream_CreateSerial, with the port wrapped in the COBS packet framing stream, which owns
// it from then on. A failure of the framing stream's creation is returned as it comes, after the
// port is put back and closed.
aErr aStream_CreateSerial_Packetized(const char* path, int32_t baudIndex, int parity, int dataSelector,
                                     int stopSelector, aStream** stream);

// ---- USB modules -------------------------------------------------------------------------------
// The byte stream under every USB device link: a module reached by its serial number, through
// the maker's kernel driver when its node exists, else through libusb (platform/qfusb_driver.h
// tells how bytes move and which transient USB trouble is hidden).

// Opens the module with the serial number (as "%08X") and stores a stream to it in *stream,
// which owns the device from then on. The stream's get takes only a short look for a transfer
// in libusb mode (QFUSB_GET_TIMEOUT_MS); its wait procedure bounds how long a reader sleeps for
// input. aErrNotFound when
// no such module is attached; *stream is null after any failure.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

// ---- USB enumeration ---------------------------------------------------------------------------
// Reports every module on USB, through the process-wide libusb context, in the device list's
// order: a device with the maker's vendor id and a module product id that can be opened and
// whose serial-number string is eight hexadecimal digits. Each find is a USB record with the
// serial number (also in ipAddress) and the model (the product id's low byte). Returns the count
// of counted finds. Must not run while the process-wide libusb context is being released. Finds
// nothing when libusb cannot be initialised.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryProc callback, void* ref);
