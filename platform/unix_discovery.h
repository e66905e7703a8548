// USB enumeration of the maker's modules through the process-wide libusb context.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/discover.h"

// Reports every module on USB in the device list's order: a device with the maker's vendor id
// and a module product id that can be opened and whose serial-number string is eight hexadecimal
// digits. Each find is a USB record with the serial number (also in ipAddress) and the model
// (the product id's low byte). Returns the count of counted finds. Must not run while the
// process-wide libusb context is being released. Finds nothing when libusb cannot be
// initialised.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryProc callback, void* ref);

// The serial number written in a USB serial-number string: exactly eight hexadecimal digits,
// either case. False, leaving *serialNumber alone, for any other text (a sign, a space, a "0x"
// prefix, another length).
bool aDiscovery_ParseUSBSerial(const char* text, size_t length, uint32_t* serialNumber);
