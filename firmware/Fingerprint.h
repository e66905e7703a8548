// The identity of a processor chip as its ROM bootloader reports it: four 32-bit words. The
// update server maps a fingerprint to a serial number and a build; for LPC recovery images it is
// also the descrambling key.
#pragma once

#include <cstdint>

struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};
