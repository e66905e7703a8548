// The recovery operations: reading a processor's fingerprint through its ROM bootloader, and
// loading a recovery build into a module whose firmware does not run, by the road that the last
// fingerprint chose (Updater_recovery.h has the roads' steps). Builds come from the firmware
// source, which must outlive the Recovery, and so does its display, which tells the user.
// Everything runs on the caller's thread and blocks.
#pragma once

#include <cstdint>
#include <string>

#include "firmware/Fingerprint.h"
#include "firmware/FirmwareSource.h"

class Recovery {
 public:
  // What the last fingerprint found: the LPC bootloader answered, or it did not (i.MX tried).
  static constexpr uint8_t CHIP_KIND_IMX = 1;
  static constexpr uint8_t CHIP_KIND_LPC = 2;

  explicit Recovery(FirmwareSource& source) : firmware(source) {}
  Recovery(const Recovery&) = delete;
  Recovery& operator=(const Recovery&) = delete;

  // Reads the chip's fingerprint through its ROM bootloader on the port: an LPC chip over ISP,
  // else an i.MX chip through its serial download protocol and live loader. Notes the chip kind.
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serialNumber, std::string file,
                       uint32_t baud, bool resetAfter);
  // Loads the recovery build into a chip whose firmware does not run, by the road the last
  // fingerprint chose; ueiBytesLoad lets the live loader take the firmware as UEI byte arrays.
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serialNumber, std::string file,
                        bool override, bool ueiBytesLoad);

 private:
  FirmwareSource& firmware;
  uint8_t chipKind = 0;  // the kind of chip found by the last fingerprint; 0 until one is taken
};
