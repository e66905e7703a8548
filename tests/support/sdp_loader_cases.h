// For tables of boot-ROM failure cases, behind USB HID or a serial line alike: an arrangement
// that gives the simulated ROM of a device (anything with rom()) the faults a change sets, and
// the loader operation a case runs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "recovery/SDPLoader.h"
#include "sim/sdp/simSdpRom.h"

namespace qftest {

template <class Device, class Change>
std::function<void(Device&)> RomFaults(Change change) {
  return [change](Device& device) {
    qfsim::SimSdpFaults faults;
    change(faults);
    device.rom().setFaults(faults);
  };
}

enum class SdpOperation { WriteImage, ReadFingerprint };

// The operation's result; a fingerprint read lands in fingerprint.
inline int RunSdpOperation(SDPLoader& loader, SdpOperation operation, const std::vector<std::uint8_t>& image,
                           std::uint64_t& fingerprint) {
  return operation == SdpOperation::WriteImage ? loader.writeLoader(image, 0x20000000)
                                               : loader.getFingerprint(fingerprint);
}

}  // namespace qftest
