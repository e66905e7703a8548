// Serial port streams over termios: raw bytes, or link packets in COBS frames with a CRC-8
// (common/aStream_CobsEncoding.h). The port is set to raw mode at the chosen speed; get never
// waits (a read returns at once with whatever is waiting), the stream's wait procedure lets a
// reader sleep until input arrives (aStream_WaitReadable), and writes return once the bytes have
// been transmitted. Deleting the stream puts the port's settings back as they were found.
#pragma once

#include <cstdint>

#include "common/aStream.h"

// Baud index: the only speeds a serial stream can have.
//   index 0     1     2     3      4      5      6       7
//   baud  2400  4800  9600  19200  38400  57600  115200  230400

// Opens the port at path with the speed of baudIndex, even parity when parity is non-zero (else
// none), 8 data bits for dataSelector 0 or 7 for 1, one stop bit for stopSelector 0 or two for 1,
// and stores a raw stream of its bytes. Results: aErrNotFound when the device does not exist,
// aErrPermission when access is denied, aErrIO for any other failure to open or configure it,
// aErrResource for a null path or stream pointer, a path longer than 4096 characters, a baud
// index outside the table or a selector other than 0 and 1 (nothing is opened then). The
// stream pointer is cleared first when the arguments are good.
aErr aStream_CreateSerial(const char* path, int32_t baudIndex, int parity, int dataSelector,
                          int stopSelector, aStream** stream);

// As aStream_CreateSerial, with the port wrapped in the COBS packet framing stream, which owns
// it from then on. A failure of the framing stream's creation is returned as it comes, after the
// port is put back and closed.
aErr aStream_CreateSerial_Packetized(const char* path, int32_t baudIndex, int parity,
                                     int dataSelector, int stopSelector, aStream** stream);
