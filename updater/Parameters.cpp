#include "updater/Parameters.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/aTransports.h"
#include "firmware/Log.h"
#include "firmware/UpdateServerRequest.h"
#include "firmware/UpdaterText.h"

using namespace UpdaterCommandLine;

const CSimpleOpt::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},        {OPT_COMMAND, "-L", SO_NONE},      {OPT_COMMAND, "-D", SO_NONE},
    {OPT_COMMAND, "-G", SO_NONE},        {OPT_COMMAND, "-I", SO_NONE},      {OPT_COMMAND, "-U", SO_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE}, {OPT_COMMAND, "-N", SO_NONE},      {OPT_COMMAND, "-Y", SO_NONE},
    {OPT_COMMAND, "-C", SO_NONE},        {OPT_HELP, "-h", SO_NONE},         {OPT_HELP, "-H", SO_NONE},
    {OPT_PARAMETER, "-n", SO_NONE},      {OPT_PARAMETER, "-X", SO_REQ_SEP}, {OPT_PARAMETER, "-Z", SO_REQ_SEP},
    {OPT_PARAMETER, "-m", SO_REQ_SEP},   {OPT_PARAMETER, "-i", SO_REQ_SEP}, {OPT_PARAMETER, "-b", SO_REQ_SEP},
    {OPT_PARAMETER, "-d", SO_REQ_SEP},   {OPT_PARAMETER, "-t", SO_REQ_SEP}, {OPT_PARAMETER, "-f", SO_REQ_SEP},
    {OPT_PARAMETER, "-r", SO_REQ_SEP},   {OPT_PARAMETER, "-s", SO_REQ_SEP}, {OPT_PARAMETER, "-o", SO_REQ_SEP},
    {OPT_PARAMETER, "-e", SO_NONE},      {OPT_PARAMETER, "-l", SO_REQ_SEP}, {OPT_PARAMETER, "-k", SO_REQ_SEP},
    {OPT_PARAMETER, "-u", SO_REQ_SEP},   {OPT_HELP, "--help", SO_NONE},     SO_END_OF_OPTIONS,
};

namespace {

constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr const char* kHexDigits = "0123456789ABCDEFabcdef";
constexpr const char* kDecimalDigits = "0123456789";

enum class Digits { value, other, tooLarge };

// Reads a text made only of the digits of base (empty counts as 0).
Digits _read_digits(const char* text, const char* digits, int base, uint32_t* value) {
  if (text[std::strspn(text, digits)] != '\0') return Digits::other;
  uint64_t sum = 0;
  for (const char* c = text; *c; ++c) {
    const uint64_t index = static_cast<uint64_t>(std::strchr(kHexDigits, *c) - kHexDigits);
    sum = sum * static_cast<uint64_t>(base) + (index >= 16 ? index - 6 : index);
    if (sum > UINT32_MAX) return Digits::tooLarge;
  }
  *value = static_cast<uint32_t>(sum);
  return Digits::value;
}

// A cut value would name another device or build, so a number too large counts as no number.
uint32_t _get_arg(const char* text, char** end, const char* digits, int base) {
  uint32_t value = 0;
  if (!text || !end || _read_digits(text, digits, base, &value) != Digits::value) return 0;
  *end = const_cast<char*>(text + std::strlen(text));
  return value;
}

bool _starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

const char* _without_hex_prefix(const char* value, const char* logLine) {
  if (!_starts_with(value, "0x") && !_starts_with(value, "0X")) return value;
  Log::log(Log::DEBUG_Updater, "%s", logLine);
  return value + 2;
}

// "-d" and "-r": a serial number in hexadecimal, with or without "0x"; 0 fails.
bool _serial_option(UpdaterDisplayInterface& display, const char* value, const char* prefixLine,
                    const char* errorFormat, uint32_t* serial) {
  const char* digits = _without_hex_prefix(value, prefixLine);
  char* end = nullptr;
  *serial = _get_hex_arg(digits, &end);
  if (*serial != 0) return true;
  display.message(kError, errorFormat, digits);
  return false;
}

bool _transport_option(UpdaterDisplayInterface& display, const char* value, Parameters* parameters) {
  parameters->transportGiven = true;
  if (_starts_with(value, "USB")) {
    parameters->transport = USB;
  } else if (_starts_with(value, "TCP")) {
    parameters->transport = TCPIP;
  } else if (_starts_with(value, "RECOVER")) {
    parameters->transport = TRANSPORT_RECOVER;
  } else {
    display.message(kError, "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", value);
    parameters->transport = UNSPECIFIED;
    return false;
  }
  return true;
}

// "-b": a decimal build number, at least 1. Anything else would install another build than the
// one asked for (the newest), so it is refused.
bool _build_option(UpdaterDisplayInterface& display, const char* value, Parameters* parameters) {
  char* end = nullptr;
  const uint32_t build = *value ? _get_int_arg(value, &end) : 0;
  if (build == 0) {
    display.message(kError, "Invalid build number obtained from argument [%s]", value);
    return false;
  }
  parameters->build = std::to_string(build);
  return true;
}

bool _baud_option(UpdaterDisplayInterface& display, const char* value, Parameters* parameters) {
  char* end = nullptr;
  const uint32_t rate = *value ? _get_int_arg(value, &end) : 0;
  if (aSerial_BaudIndex(rate) >= 0) {
    parameters->baudRate = rate;
    return true;
  }
  display.message(kError, "Invalid value for option -o: [%s]; the baud rate must be one of %s", value,
                  baud_rate_list().c_str());
  return false;
}

bool _has_blank_or_control(const char* text) {
  for (const char* c = text; *c; ++c)
    if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f) return true;
  return false;
}

// "-u": an http or https URL, or a host with an optional port and path (taken as http).
bool _url_is_usable(const char* value) {
  if (!*value || _has_blank_or_control(value)) return false;
  const char* scheme = std::strstr(value, "://");
  if (scheme && !_starts_with(value, "http://") && !_starts_with(value, "https://")) return false;
  const char* host = scheme ? scheme + 3 : value;
  return *host != '\0' && *host != '/' && *host != ':';
}

// The options whose value says what is installed, from where or to which module: a missing,
// empty or malformed value ends the run before anything is sent.
constexpr const char* kChosenByValue = "fbdrstoiu";

bool _chooses_what_is_installed(const char* optionText) {
  return optionText && optionText[0] == '-' && optionText[1] && !optionText[2] &&
         std::strchr(kChosenByValue, optionText[1]);
}

// A text value that may be anything but empty (a path or a port name).
bool _text_option(UpdaterDisplayInterface& display, const char* option, const char* value, std::string* field) {
  if (!*value) {
    display.message(kError, "Invalid value for option %s: [%s]; it must not be empty", option, value);
    return false;
  }
  *field = value;
  return true;
}

bool _url_option(UpdaterDisplayInterface& display, const char* value, Parameters* parameters) {
  if (!_url_is_usable(value)) {
    display.message(kError, "Invalid value for option -u: [%s]; give the update server as http://host[:port]/path",
                    value);
    return false;
  }
  parameters->serverUrl = value;
  return true;
}

// An option of kChosenByValue that the parser left without a value.
void _show_missing_value(UpdaterDisplayInterface& display, const CSimpleOpt& options) {
  if (const char* next = options.RefusedArg()) {
    display.message(kError, "Missing value for option %s: the next argument [%s] is an option", options.OptionText(),
                    next);
  } else {
    display.message(kError, "Missing value for option %s", options.OptionText());
  }
}

void _log_mask_option(UpdaterDisplayInterface& display, const char* value, Parameters* parameters) {
  parameters->logMaskGiven = true;
  const bool hex = _starts_with(value, "0x") || _starts_with(value, "0X");
  char* rest = nullptr;
  errno = 0;
  parameters->logMask = static_cast<uint32_t>(std::strtoul(value, &rest, hex ? 16 : 10));
  if (*rest != '\0') {
    display.message(kError, "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", rest);
    return;
  }
  Log::ActivatePackage(parameters->logMask);
}

bool _command_option(UpdaterDisplayInterface& display, const char* text, Parameters* parameters) {
  if (std::strcmp(text, "-OVERRIDE") == 0) {
    parameters->override = true;
    return true;
  }
  switch (text[1]) {
    case 'B':
      parameters->commands.Set(CMD_LIST_BUILDS);
      return true;
    case 'C':
      parameters->commands.Set(CMD_CHECK);
      return true;
    case 'D':
      parameters->commands.Set(CMD_DISCOVER);
      return true;
    case 'G':
      parameters->commands.Set(CMD_GET);
      return true;
    case 'I':
      parameters->commands.Set(CMD_INFO);
      return true;
    case 'L':
      parameters->commands.Set(CMD_LIST_LOCAL);
      return true;
    case 'N':
      parameters->commands.Set(CMD_FINGERPRINT);
      return true;
    case 'U':
      parameters->commands.Set(CMD_UPDATE);
      return true;
    default:
      display.message(kError, "Unhandled command: [%s]", text);
      return false;
  }
}

// One parameter option (id OPT_PARAMETER); false when its value is refused.
bool _parameter_option(UpdaterDisplayInterface& display, char option, const char* value, Parameters* parameters) {
  switch (option) {
    case 'X':
      _log_mask_option(display, value, parameters);
      return true;
    case 'Z':
      parameters->commands.Set(CMD_Z);
      return true;
    case 'm':
      parameters->ueiBytes = value[0] == '1' || _starts_with(value, "true");
      return true;
    case 'b':
      return _build_option(display, value, parameters);
    case 'd':
      return _serial_option(display, value, "Discarding '0x' serial number prefix\n",
                            "Invalid serial number obtained from argument [%s]", &parameters->serialNumber);
    case 'r':
      return _serial_option(display, value, "Discarding '0x' router serial number prefix\n",
                            "Invalid router serial number obtained from argument [%s]",
                            &parameters->routerSerialNumber);
    case 't':
      return _transport_option(display, value, parameters);
    case 'o':
      return _baud_option(display, value, parameters);
    case 'i':
      return _text_option(display, "-i", value, &parameters->storeDir);
    case 'f':
      return _text_option(display, "-f", value, &parameters->birdFile);
    case 's':
      return _text_option(display, "-s", value, &parameters->serialPort);
    case 'u':
      return _url_option(display, value, parameters);
    case 'l':
      parameters->logMessage = value;
      return true;
    case 'k':
      parameters->logFile = value;
      return true;
    case 'e':
      parameters->echo = true;
      return true;
    case 'n':
      parameters->flagN = true;
      return true;
    default:
      return true;
  }
}

void _log_arguments(const Parameters& parameters, int argc, char** argv) {
  Log::log(Log::DEBUG_APP, "\nApplication parameters:[%s]\n", parameters.appName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(Log::DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
}

}  // namespace

uint32_t UpdaterCommandLine::_get_hex_arg(const char* text, char** end) { return _get_arg(text, end, kHexDigits, 16); }
uint32_t UpdaterCommandLine::_get_int_arg(const char* text, char** end) {
  return _get_arg(text, end, kDecimalDigits, 10);
}

std::string UpdaterCommandLine::_program_name(const char* argv0) {
  if (!argv0) return "updater";
  const char* name = argv0;
  for (const char* c = argv0; *c; ++c)
    if (*c == '/' || *c == '\\') name = c + 1;
  return *name ? name : "updater";
}

int UpdaterCommandLine::_validate_params(Parameters*) { return 0; }

int UpdaterCommandLine::_get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* parameters) {
  *parameters = Parameters{};
  parameters->baudRate = 115200;
  parameters->serverUrl = UpdateServerRequest::default_url;
  parameters->logFile = "Updater.log";
  parameters->appName = _program_name(argc > 0 ? argv[0] : nullptr);

  bool failed = false;
  CSimpleOpt options(argc, argv, g_rgOptions, 0);
  while (options.Next()) {
    const ESOError error = options.LastError();
    if ((error == SO_ARG_MISSING || error == SO_ARG_INVALID_DATA) && _chooses_what_is_installed(options.OptionText())) {
      _show_missing_value(display, options);
      failed = true;
      continue;
    }
    if (error != SO_SUCCESS) continue;
    const char* text = options.OptionText();
    switch (options.OptionId()) {
      case OPT_HELP:
        parameters->commands.Set(CMD_HELP);
        parameters->helpGiven = true;
        return 0;
      case OPT_COMMAND:
        failed = !_command_option(display, text, parameters) || failed;
        break;
      default:
        failed = !_parameter_option(display, text[1], options.OptionArg(), parameters) || failed;
        break;
    }
  }
  _log_arguments(*parameters, argc, argv);
  if (failed) return 1;
  return UpdaterCommandLine::_validate_params(parameters);
}
