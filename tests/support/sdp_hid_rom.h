// The i.MX ROM's USB HID serial downloader for tests: a HidFake with the ROM's ids, driven by the
// simulated ROM (sim/sdp/simSdpRom.h). Output report 1 carries a command, report 2 data; the
// ROM's words come back as input report 3 (id + security word) and report 4 (id + 64 bytes).
// Same rules as HidFake: one per process, made before hid_init.
#pragma once

#include "sim/sdp/simSdpRom.h"
#include "support/hid_fake.h"

namespace qftest {

class SdpHidRom {
 public:
  // shared: the testbed of a fake USB bus the ROM's device joins (see HidFake).
  explicit SdpHidRom(UMockdevTestbed* shared = nullptr);
  SdpHidRom(const SdpHidRom&) = delete;
  SdpHidRom& operator=(const SdpHidRom&) = delete;

  qfsim::SimSdpRom& rom() { return rom_; }
  HidFake& hid() { return hid_; }

  // Input report 4 is this long after its id.
  static constexpr size_t RESPONSE_REPORT_BYTES = 64;

 private:
  void _take(std::span<const uint8_t> report);

  qfsim::SimSdpRom rom_;
  HidFake hid_;
};

}  // namespace qftest
