// The byte stream under every USB device link: a module reached by its serial number, through
// the maker's kernel driver when its node exists, else through libusb (see qfusb_driver.h for
// how bytes move and which transient USB trouble is hidden).
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Opens the module with the serial number (as "%08X") and stores a stream to it in *stream,
// which owns the device from then on. The stream's get waits at most 1000 ms for a transfer in
// libusb mode; its wait procedure bounds how long a reader sleeps for input.
// aErrParam for a null stream pointer or serial number 0; aErrMemory when no memory can be had;
// aErrResource when no device handle can be made; otherwise the open's failure (aErrNotFound
// when no such module is attached). *stream is null after any failure.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
