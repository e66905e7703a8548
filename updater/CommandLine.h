// What the command line shows: the version line, the banner, the usage text and the result
// formats of the commands. Results go through the display as information lines; the usage
// text is written straight to standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/discover.h"
#include "common/qfVersion.h"
#include "firmware/Fingerprint.h"
#include "firmware/UpdaterDisplayInterface.h"
#include "updater/Updater.h"

inline constexpr const char* APP_NAME = "Updater";
// The version comes from the build; the date is the release's own.
inline constexpr const char* APP_VERSION = "Version: " QF_VERSION_TEXT " Dec  4 2025";

namespace UpdaterCommandLine {

void _display_app_version(UpdaterDisplayInterface& display);
void _display_banner(UpdaterDisplayInterface& display);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serialNumber);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);

// The short usage; with full the parameters, commands and samples too, and with extended as
// well the extended block. Written to out (standard error in the program).
void _display_usage(bool extended, bool full, FILE* out = stderr);

}  // namespace UpdaterCommandLine
