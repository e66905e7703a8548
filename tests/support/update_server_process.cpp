#include "support/update_server_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

constexpr auto _startTimeout = std::chrono::seconds(15);
constexpr auto _stopTimeout = std::chrono::seconds(5);
constexpr auto _pollInterval = std::chrono::milliseconds(10);

void _writeFile(const std::filesystem::path& path, const std::string& bytes, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << bytes;
}

std::string _hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// True once pid has ended (and is reaped) within timeout.
bool _awaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(_pollInterval);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace

namespace qftest {

UpdateServerProcess::UpdateServerProcess(const std::string& fault,
                                         const std::vector<std::string>& extraArgs)
    : _scratch(_scratchFolder.path()) {
  std::filesystem::create_directory(_scratch / "builds");
  // Requests to the loopback server must never be handed to a proxy of the environment.
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);

  std::vector<std::string> args = {
      QF_PYTHON3,    QF_SOURCE_DIR "/sim/update_server/update_server.py",
      "--root",      (_scratch / "builds").string(),
      "--port-file", (_scratch / "port").string(),
      "--log",       (_scratch / "requests.log").string(),
      "--fault",     fault};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (int error = posix_spawn(&_pid, argv[0], nullptr, nullptr, argv.data(), environ)) {
    std::fprintf(stderr, "spawning the update server: %s\n", std::strerror(error));
    _pid = -1;
    return;
  }
  if (!_waitForPort()) std::fprintf(stderr, "the update server did not start\n");
}

UpdateServerProcess::~UpdateServerProcess() {
  if (_pid > 0) {
    kill(_pid, SIGTERM);
    if (!_awaitExit(_pid, _stopTimeout)) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
  }
}

bool UpdateServerProcess::_waitForPort() {
  const auto deadline = std::chrono::steady_clock::now() + _startTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(_scratch / "port");
    if (in >> _port && _port > 0) return true;
    _port = 0;
    if (waitpid(_pid, nullptr, WNOHANG) == _pid) {  // it died before listening
      _pid = -1;
      return false;
    }
    std::this_thread::sleep_for(_pollInterval);
  }
  return false;
}

std::string UpdateServerProcess::baseUrl(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(_port) + "/cgi/u";
}

std::filesystem::path UpdateServerProcess::_serialFolder(uint32_t serial) const {
  std::filesystem::path folder = _scratch / "builds" / _hex8(serial);
  std::filesystem::create_directories(folder);
  return folder;
}

void UpdateServerProcess::addBuild(uint32_t serial, const std::string& build,
                                   const std::string& payload, const std::string& version) {
  const std::filesystem::path folder = _serialFolder(serial);
  _writeFile(folder / (build + ".bird"), payload);
  if (!version.empty()) _writeFile(folder / (build + ".version"), version);
}

void UpdateServerProcess::setFirmware(uint32_t serial, const std::string& firmware) {
  _writeFile(_serialFolder(serial) / "firmware", firmware);
}

void UpdateServerProcess::addRecovery(const std::string& fingerprint, const std::string& serialLine,
                                      const std::string& buildLine) {
  _writeFile(_scratch / "builds" / "recovery",
             fingerprint + ";" + serialLine + ";" + buildLine + "\n", true);
}

std::vector<std::string> UpdateServerProcess::requests() const {
  std::vector<std::string> lines;
  std::ifstream in(_scratch / "requests.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace qftest
