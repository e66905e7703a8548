#include "updater/Updater.h"

#include <cstring>
#include <utility>

DeviceInfo::DeviceInfo() { std::memset(&spec, 0, sizeof spec); }

Updater::Updater(std::string url, std::string root, UpdaterDisplayInterface& userDisplay)
    : FirmwareSource(std::move(url), std::move(root), userDisplay), recovery(*this) {}

Updater::~Updater() = default;

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serialNumber, std::string file,
                              uint32_t baud, bool resetAfter) {
  return recovery.Get_Fingerprint(fingerprint, std::move(port), serialNumber, std::move(file), baud, resetAfter);
}

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serialNumber, std::string file,
                               bool override) {
  return recovery.Recover_Firmware(std::move(port), build, baud, serialNumber, std::move(file), override, ueiBytesLoad);
}
