// The updater's command line: the option table, the parsed record and the parse itself. The
// parse only reads and checks values; whether a command has what it needs (a serial number, a
// serial port) is decided when the command runs.
#pragma once

#include <cstdint>
#include <string>

#include "common/discover.h"
#include "firmware/UpdaterDisplayInterface.h"
#include "updater/SimpleOpt.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x1,
  CMD_UPDATE = 0x2,
  CMD_LIST_BUILDS = 0x4,
  CMD_GET = 0x8,
  CMD_INFO = 0x10,
  CMD_CHECK = 0x20,
  CMD_FINGERPRINT = 0x40,
  CMD_Z = 0x80,
  CMD_LIST_LOCAL = 0x200,
  CMD_HELP = 0x80000000u,
  // Every bit that makes a run have a command (help is not one).
  CMD_ANY = CMD_DISCOVER | CMD_UPDATE | CMD_LIST_BUILDS | CMD_GET | CMD_INFO | CMD_CHECK | CMD_FINGERPRINT | CMD_Z |
            CMD_LIST_LOCAL,
};

class CommandsClass {
 public:
  void Set(uint32_t bits) { _bits |= bits; }
  bool IsSet(uint32_t mask) const { return (_bits & mask) != 0; }

 private:
  uint32_t _bits = 0;
};

// The transport value "-t RECOVER" gives: the run recovers a module through its ROM bootloader.
inline constexpr uint32_t TRANSPORT_RECOVER = 0xFF;

struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;
  uint32_t routerSerialNumber = 0;
  uint32_t transport = USB;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 0;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string logMessage;
  std::string build;
  bool echo = false;
  std::string serverUrl;
  bool flagN = false;
  std::string storeDir;
  std::string appName;
  std::string logFile;
  bool override = false;
  bool ueiBytes = true;
  uint32_t logMask = 0;
  bool logMaskGiven = false;
  bool helpGiven = false;
};

// Option ids of the table's rows.
enum { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };

extern const CSimpleOpt::SOption g_rgOptions[];

namespace UpdaterCommandLine {

// The name a program is known by: its path after the last "/" or "\", or "updater" when the
// path is missing or names nothing.
std::string _program_name(const char* argv0);

// Fills parameters with its defaults, then reads the command line (argv is reordered in
// place). 0 when it was accepted, 1 when an option carried a bad value (each shown on the
// display). A help option ends the parse at once with 0.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* parameters);
// The final check of the parsed record: every combination is accepted here.
int _validate_params(Parameters* parameters);

// The value of a text made only of hexadecimal (decimal) digits, an empty text counting as 0,
// with *end set behind the last digit. A text with any other character, or whose value needs
// more than 32 bits, gives 0 and leaves *end as it was; so does a null end.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

}  // namespace UpdaterCommandLine
