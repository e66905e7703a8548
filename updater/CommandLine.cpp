#include "updater/CommandLine.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/aDefs.h"
#include "firmware/UpdateServerRequest.h"
#include "firmware/UpdaterText.h"

using namespace UpdaterCommandLine;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;

// Column where the explanations of the help text begin.
constexpr int kExplanationColumn = 31;
// The lines the help text wraps itself end before this column.
constexpr size_t kWrapColumn = 80;

const char* const kShortUsage[] = {
    "",
    "Application Usage:",
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]",
    "    [-d serial_num]",
    "    [-t transport] [-r router_serial]",
    "    [-s serial_port] [-o baud_rate]",
    "",
    "  Quillfern Update and Maintenance Application",
    "    -H -h or --help for full usage information.",
    "",
    "",
};

const char* const kParameterBlock[] = {
    "  Parameters to commands:",
    "     -i <tarnwick_directory>  - The Tarnwick directory used for storage of ",
    "                                firmware files. [Default: ~/.tarnwick ].",
    "     -b <build number>        - Build version of the firmware to transfer.",
    "                                [Default: latest version available].",
    "     -d <device>              - Device serial number of the device to access.",
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
    "     -f <bird file>           - Firmware file to be transferred to device.",
    "     -r <router serial>       - indirect connection through router device",
    "     -s <serial port>         - name of serial port to use for recovery",
};

// "-o", between the two blocks, names the rates of the serial rate table (_baud_rate_lines).
const char* const kCommandBlock[] = {
    "  Commands:",
    "     -B                       - list the Builds available for given device.",
    "",
    "     -L                       - list the local Builds available for given device.",
    "",
    "     -D                       - Discover devices that are currently connected.",
    "",
    "     -G                       - Get build file from the Tarnwick server and",
    "                                store on local machine for download to device.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to obtain the latest build for the",
    "                                given device, override with \"-b\" option.",
    "",
    "     -U                       - Update the firmware on device specified.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to download the latest build for the",
    "                                given device, override with \"-b\" option or",
    "                                specify specific BIRD file using \"-f\" option.",
    "     -H or -h                 - Display extended usage information.",
    "",
    "",
};

const char* const kExtendedParameters[] = {
    "  Extended Parameters:",
    "     -e                       - echoing of bytes enabled during recovery.",
    "",
    "     -m                       - Attemps to use UEIBytes for faster loading",
    "     -l 'log message'         - message to place in device history log",
    "     -k <filename>            - log messages written into given filename",
    "                                Default:[APP.log]",
    "     -u <host:port>           - The hostname and port of the update server",
};

const char* const kExtendedCommands[] = {
    "  Extended Commands:",
    "     -I                       - View stored device information.",
    "                                Must either use DISCOVER command [\"-D\"] or",
    "                                specify a specific device [\"-d\" option].",
    "",
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
    "                                This option should only be used when authorized by",
    "                                Tarnwick development engineers.",
    "",
    "     -N                       - Get fingerprint from a device, requires -s",
    "",
    "     -X <BIT_MASK>            - Bitmask for Logging",
};

// The log packages as the help text lists them; a null name is an empty line.
struct PackageLine {
  const char* name;
  uint32_t bit;
};
const PackageLine kPackages[] = {
    {"DEBUG_Updater", 0x1},
    {"DEBUG_History", 0x2},
    {"DEBUG_Attributes", 0x4},
    {"DEBUG_BirdFile", 0x8},
    {"DEBUG_Network", 0x10},
    {"DEBUG_ServerComm", 0x20},
    {nullptr, 0},
    {"DEBUG_Network", 0x100},
    {"DEBUG_Network_SR", 0x200},
    {"DEBUG_Network_FIRM", 0x400},
    {nullptr, 0},
    {"DEBUG_NXPSerial", 0x1000},
    {"DEBUG_NXPSerial_E", 0x2000},
    {"DEBUG_NXPSerial_SR", 0x4000},
    {nullptr, 0},
    {"DEBUG_APP", 0x10000},
    {nullptr, 0},
    {"DEBUG_iMXSerial", 0x10000000},
    {nullptr, 0},
};

struct Sample {
  const char* command;
  std::vector<const char*> explanation;
  bool commandAlone = false;  // the command is too long for its column: it takes a line of its own
};

const Sample kSamples[] = {
    {"-D",
     {"Discover all devices connected by either USB or TCPIP.",
      "Records the device information into the settings for that device."}},
    {"-D -t USB",
     {"Discover all the devices connected by USB. Records the",
      "device information into the settings for that device."}},
    {"-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"}},
    {"-G -d 40F5849A",
     {"Get the latest firmware for the given device.",
      "Downloads the firmware file into the updater specific device directory."}},
    {"-U -d 40F5849A",
     {"Update the firmware on the specific device.", "Without other options, this command will try to locate",
      "the latest firmware version to be used for updating the device."}},
    {"-G -d 40F5849A -b 99528558",
     {"Get the specified build's firmware for the given device.",
      "Downloads the firmware file into the updater's specific",
      "device directory with the build number as the filename."}},
    {"-G -U -d 40F5849A",
     {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
      "device directory. After download, update the firmware", "using the latest release."}},
    {"-U -t RECOVER -s /dev/serial",
     {"Update the firmware as described above, but uses the serial interface",
      "in communicating with the device to install the latest firmware."}},
};

const Sample kNetworkSamples[] = {
    {"-D -r D272031D",
     {"Discover all devices connected to the I2C Quillfern network", "of the given routing device D272031D."}},
    {"-G -U -d 2181F0EE -r D272031D",
     {"Get and Update to the latest firmware for device 2181F0EE", "indirectly through routing device D272031D."},
     true},
};

template <size_t N>
void _lines(FILE* out, const char* const (&lines)[N]) {
  for (const char* line : lines) std::fprintf(out, "%s\n", line);
}

// The default update server as "host:port", taken from its base URL.
std::string _default_server() {
  std::string url = UpdateServerRequest::default_url;
  const size_t scheme = url.find("://");
  if (scheme != std::string::npos) url = url.substr(scheme + 3);
  url = url.substr(0, url.find('/'));
  return url.find(':') == std::string::npos ? url + ":80" : url;
}

// "-o" with the rates a serial port may be given, wrapped under its explanation's column.
void _baud_rate_lines(FILE* out) {
  std::string line = "     -o <baud rate>           - baud rate for serial port (";
  const std::string rates = baud_rate_list() + ")";
  bool first = true;
  for (size_t start = 0; start < rates.size();) {
    const size_t end = std::min(rates.find(' ', start), rates.size());
    const std::string word = rates.substr(start, end - start);
    if (!first && line.size() + 1 + word.size() >= kWrapColumn) {
      std::fprintf(out, "%s\n", line.c_str());
      line = std::string(kExplanationColumn + 1, ' ') + word;
    } else {
      line += (first ? "" : " ") + word;
    }
    first = false;
    start = end + 1;
  }
  std::fprintf(out, "%s\n", line.c_str());
}

void _extended_block(FILE* out) {
  _lines(out, kExtendedParameters);
  std::fprintf(out, "%*sDefault: %s\n", kExplanationColumn + 1, "", _default_server().c_str());
  _lines(out, kExtendedCommands);
  for (const PackageLine& package : kPackages) {
    if (package.name) std::fprintf(out, "%32s%-20s0x%08X\n", "", package.name, package.bit);
    else std::fprintf(out, "\n");
  }
  std::fprintf(out, "     -C                       - Check the given BIRDFILE\n\n\n");
}

template <size_t N>
void _samples(FILE* out, const Sample (&samples)[N]) {
  for (const Sample& sample : samples) {
    size_t line = 0;
    if (sample.commandAlone) std::fprintf(out, "%s\n", sample.command);
    else std::fprintf(out, "%-*s%s\n", kExplanationColumn, sample.command, sample.explanation[line++]);
    for (; line < sample.explanation.size(); ++line)
      std::fprintf(out, "%*s%s\n", kExplanationColumn, "", sample.explanation[line]);
    std::fprintf(out, "\n");
  }
}

void _sample_block(FILE* out) {
  std::fprintf(out, " Sample usage:\n\n");
  _samples(out, kSamples);
  std::fprintf(out, " Sample usage for network discovery and updates:\n\n");
  _samples(out, kNetworkSamples);
  std::fprintf(out, "\n");
}

const char* _type_name(linkType type) {
  switch (type) {
    case USB:
      return "USB";
    case TCPIP:
      return "TCPIP";
    default:
      return "Unknown";
  }
}

void _display_device(UpdaterDisplayInterface& display, const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  const char* model = aDefs_GetModelName(spec.model);
  // A probe that failed says so, whatever the transport: its zeros are no version.
  if (device.error != aErrNone) {
    display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serialNumber,
                    static_cast<int>(device.error));
  } else if (spec.type == TCPIP) {
    uint8_t address[4];
    std::memcpy(address, &spec.ipAddress, sizeof address);
    char addressText[24];
    std::snprintf(addressText, sizeof addressText, "[%d.%d.%d.%d]", address[0], address[1], address[2], address[3]);
    display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", spec.serialNumber,
                    spec.module, spec.router, model, device.versionMajor, device.versionMinor,
                    static_cast<int>(device.versionPatch), device.build, addressText, device.deviceName.c_str());
  } else {
    display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", spec.serialNumber,
                    spec.module, spec.router, model, device.versionMajor, device.versionMinor,
                    static_cast<int>(device.versionPatch), device.build, device.deviceName.c_str());
  }
}

}  // namespace

void UpdaterCommandLine::_display_app_version(UpdaterDisplayInterface& display) {
  display.message(kInfo, "%s (%s)", APP_NAME, APP_VERSION);
}

void UpdaterCommandLine::_display_banner(UpdaterDisplayInterface& display) {
  display.message(kInfo, "Firmware update and maintenance for Quillfern modules");
}

void UpdaterCommandLine::_display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
  const uint32_t* w = fingerprint.words;
  display.message(kInfo, "[ %08X %08X %08X %08X ]", w[0], w[1], w[2], w[3]);
}

void UpdaterCommandLine::_display_builds(UpdaterDisplayInterface& display,
                                         const std::map<std::string, std::string>& builds, uint32_t serialNumber) {
  if (builds.empty()) {
    display.message(kInfo, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(kInfo, "Build List for device [%08X]:\n", serialNumber);
  display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(kInfo, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void UpdaterCommandLine::_display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                                              linkType type) {
  display.message(kInfo, "Discovered Devices: (%s)", _type_name(type));
  if (devices.empty()) {
    display.message(kInfo, "    No devices found.");
    return;
  }
  if (type == USB)
    display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  else
    display.message(kInfo,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                    "Device Name");
  for (const DeviceInfo& device : devices) _display_device(display, device);
}

void UpdaterCommandLine::_display_usage(bool extended, bool full, FILE* out) {
  _lines(out, kShortUsage);
  if (full) {
    _lines(out, kParameterBlock);
    _baud_rate_lines(out);
    _lines(out, kCommandBlock);
  }
  if (full && extended) _extended_block(out);
  if (full) _sample_block(out);
}
