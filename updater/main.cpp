// The updater program: parses the command line, then runs its commands in a fixed order:
// fingerprint, download, then the first of discover, update, list server builds, list local
// builds. The exit status is that of the last command run: 0 for success, 1 for failure.
#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/aDirectory.h"
#include "firmware/Log.h"
#include "firmware/ReplaceFile.h"
#include "firmware/UpdaterStore.h"
#include "updater/CLI_Display.h"
#include "updater/CommandLine.h"
#include "updater/Parameters.h"
#include "updater/Updater.h"

using namespace UpdaterCommandLine;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr size_t kHomeSize = 2048;

// Ctrl-C or a termination request ends the run at once, whatever operation is under way, with
// the failure status. The messaging library would otherwise take these signals for itself once
// it starts, and the run would go on.
void _on_stop_signal(int) {
  RemoveUnfinishedFile();  // a half-made download or settings file is not left in the store
  static const char kText[] = "\nInterrupted\n";
  ssize_t written = write(STDERR_FILENO, kText, sizeof kText - 1);
  (void)written;
  _exit(kFailure);
}

void _install_stop_handlers() {
  zsys_handler_set(nullptr);  // before anything starts the messaging library
  struct sigaction action = {};
  action.sa_handler = _on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The folder "updater" of the store, made with its missing parents; empty on failure (shown).
std::string _store_folder(UpdaterDisplayInterface& display, std::string storeDir) {
  if (storeDir.empty()) {
    char home[kHomeSize];
    const aErr error = aDirectory_GetHomeDirectory(home, sizeof home);
    if (error != aErrNone) {
      Log::log(Log::DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(error));
      return {};
    }
    storeDir = BuildPath(home, ".tarnwick", nullptr);
  }
  storeDir = BuildPath(storeDir.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(storeDir.c_str(), 0755) != aErrNone) {
    display.message(kError, "Could not find updater directory at %s", storeDir.c_str());
    return {};
  }
  return storeDir;
}

uint32_t _build_number(const std::string& build) {
  try {
    return build.empty() ? 0 : static_cast<uint32_t>(std::stoul(build));
  } catch (const std::logic_error&) {
    return 0;
  }
}

bool _fingerprint(UpdaterDisplayInterface& display, Updater& updater, const Parameters& parameters) {
  Fingerprint fingerprint;
  if (!updater.Get_Fingerprint(fingerprint, parameters.serialPort, Updater::DEFAULT_SERIAL_NUMBER, parameters.birdFile,
                               parameters.baudRate, true)) {
    display.message(kError, "Got no response from chip");
    return false;
  }
  UpdaterCommandLine::_display_fingerprint(display, fingerprint);
  return true;
}

bool _download(UpdaterDisplayInterface& display, Updater& updater, Parameters& parameters) {
  display.message(kInfo, "Retrieving firmware for device with serial number %08X", parameters.serialNumber);
  if (parameters.build.empty()) {
    display.message(kInfo, "No build specified");
    display.message(kInfo, "Using Latest build");
  } else {
    display.message(kInfo, "Retrieving firmware build %s", parameters.build.c_str());
  }
  const uint32_t build =
      updater.Download_Firmware(parameters.serialNumber, parameters.build, parameters.override, false);
  if (build == 0) return false;
  parameters.build = std::to_string(build);  // a following update installs exactly this build
  return true;
}

int _discover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& parameters) {
  const bool typed = parameters.transportGiven && parameters.transport != TRANSPORT_RECOVER;
  const linkType type = typed ? static_cast<linkType>(parameters.transport) : UNSPECIFIED;
  if (parameters.routerSerialNumber != 0) {
    display.message(kInfo, "Searching for Quillfern Network devices connected to %08X", parameters.routerSerialNumber);
    UpdaterCommandLine::_display_device_list(
        display, updater.Discover_QFNetwork_Devices(parameters.routerSerialNumber, type), type);
    return kSuccess;
  }
  display.message(kInfo, "Searching for Quillfern devices");
  const linkType searched = type == UNSPECIFIED ? USB : type;  // no transport given: USB only
  UpdaterCommandLine::_display_device_list(display, updater.Discover_Devices(searched), searched);
  return kSuccess;
}

int _update(UpdaterDisplayInterface& display, Updater& updater, const Parameters& parameters) {
  const uint32_t build = _build_number(parameters.build);
  updater.Set_UEIBytes_Load(parameters.ueiBytes);
  bool done = false;
  if (parameters.transport == TRANSPORT_RECOVER) {
    if (parameters.serialPort.empty()) {
      display.message(kError, "Must specify the serial port used for connecting");
      return kFailure;
    }
    done = updater.Recover_Firmware(parameters.serialPort, build, parameters.baudRate, parameters.serialNumber,
                                    parameters.birdFile, parameters.override);
  } else {
    if (parameters.serialNumber == 0) {
      display.message(kError, "Must specify the specific device to be updated");
      return kFailure;
    }
    done = updater.Update_Firmware(parameters.serialNumber, build, parameters.birdFile, parameters.moduleAddress,
                                   parameters.routerSerialNumber, parameters.override);
  }
  return done ? kSuccess : kFailure;
}

bool _has_serial_number(UpdaterDisplayInterface& display, const Parameters& parameters, const char* commandName) {
  if (parameters.serialNumber != 0) return true;
  display.message(kError, "Error must supply a serial number for the %s command", commandName);
  UpdaterCommandLine::_display_usage(false, false);
  return false;
}

// "-B": a server that answered with no builds says so and succeeds; a request that failed has
// said why and fails.
int _list_server_builds(UpdaterDisplayInterface& display, Updater& updater, const Parameters& parameters) {
  if (!_has_serial_number(display, parameters, "List Builds")) return kFailure;
  bool answered = false;
  const Updater::BuildList builds = updater.Get_BuildList(parameters.serialNumber, answered);
  if (!answered) return kFailure;
  UpdaterCommandLine::_display_builds(display, builds, parameters.serialNumber);
  return kSuccess;
}

int _list_local_builds(UpdaterDisplayInterface& display, Updater& updater, const Parameters& parameters) {
  if (!_has_serial_number(display, parameters, "List Local Builds")) return kFailure;
  UpdaterCommandLine::_display_builds(display, updater.Get_BuildListLocal(parameters.serialNumber),
                                      parameters.serialNumber);
  return kSuccess;
}

int _run_commands(UpdaterDisplayInterface& display, Updater& updater, Parameters& parameters) {
  const CommandsClass& commands = parameters.commands;
  int status = kSuccess;
  if (commands.IsSet(CMD_FINGERPRINT)) {
    if (parameters.serialPort.empty()) {
      display.message(kError, "Must specify the serial port used for connecting");
      return kFailure;
    }
    if (!_fingerprint(display, updater, parameters)) status = kFailure;
  }
  if (commands.IsSet(CMD_GET)) {
    if (parameters.serialNumber == 0) {
      display.message(kError, "-G must specify a specific device via -d");
      display.message(kError, "--help for usage information");
      return kFailure;
    }
    status = _download(display, updater, parameters) ? kSuccess : kFailure;
  }
  if (commands.IsSet(CMD_DISCOVER)) return _discover(display, updater, parameters);
  if (commands.IsSet(CMD_UPDATE)) {
    // An update after a failed download would install some older stored build instead.
    if (commands.IsSet(CMD_GET) && status == kFailure) return kFailure;
    return _update(display, updater, parameters);
  }
  if (commands.IsSet(CMD_LIST_BUILDS)) return _list_server_builds(display, updater, parameters);
  if (commands.IsSet(CMD_LIST_LOCAL)) return _list_local_builds(display, updater, parameters);
  return status;
}

int _run(int argc, char** argv) {
  CLI_Display display;
  Log::SetOutput(stderr);
  Parameters parameters;
  if (_get_params(display, argc, argv, &parameters) != 0) {
    UpdaterCommandLine::_display_app_version(display);
    UpdaterCommandLine::_display_banner(display);
    UpdaterCommandLine::_display_usage(false, false);
    return kFailure;
  }
  UpdaterCommandLine::_display_app_version(display);
  if (parameters.commands.IsSet(CMD_HELP) || !parameters.commands.IsSet(CMD_ANY)) {
    UpdaterCommandLine::_display_banner(display);
    UpdaterCommandLine::_display_usage(parameters.logMaskGiven, parameters.helpGiven);
    return kSuccess;
  }
  const std::string storeDir = _store_folder(display, parameters.storeDir);
  if (storeDir.empty()) return kFailure;
  Updater updater(parameters.serverUrl, storeDir, display);
  return _run_commands(display, updater, parameters);
}

}  // namespace

int main(int argc, char** argv) {
  _install_stop_handlers();
  return _run(argc, argv);
}
