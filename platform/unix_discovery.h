// Helpers of USB enumeration (aDiscovery_EnumerateUSB, declared in common/aTransports.h).
#pragma once

#include <cstddef>
#include <cstdint>

// The serial number written in a USB serial-number string: exactly eight hexadecimal digits,
// either case. False, leaving *serialNumber alone, for any other text (a sign, a space, a "0x"
// prefix, another length).
bool aDiscovery_ParseUSBSerial(const char* text, size_t length, uint32_t* serialNumber);
