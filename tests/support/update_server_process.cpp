#include "support/update_server_process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support/eventually.h"

namespace {

constexpr auto _startTimeout = std::chrono::seconds(15);

void _writeFile(const std::filesystem::path& path, const std::string& bytes, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << bytes;
}

std::string _hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

}  // namespace

namespace qftest {

UpdateServerProcess::UpdateServerProcess(const std::string& fault, const std::vector<std::string>& extraArgs)
    : _scratch(_scratchFolder.path()) {
  std::filesystem::create_directory(_scratch / "builds");
  // Requests to the loopback server must never be handed to a proxy of the environment.
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);

  std::vector<std::string> args = {QF_SOURCE_DIR "/sim/update_server/update_server.py",
                                   "--root",
                                   (_scratch / "builds").string(),
                                   "--port-file",
                                   (_scratch / "port").string(),
                                   "--log",
                                   (_scratch / "requests.log").string(),
                                   "--fault",
                                   fault};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  _server = std::make_unique<ProgramProcess>(QF_PYTHON3, args, ProgramProcess::Output::Inherited);
  if (!_server->started()) {
    std::fprintf(stderr, "the update server could not be spawned\n");
  } else if (!_waitForPort()) {
    std::fprintf(stderr, "the update server did not start\n");
  }
}

// The server writes its port file once it listens; it writes nothing when it dies first.
bool UpdateServerProcess::_waitForPort() {
  Eventually(
      [&] {
        std::ifstream in(_scratch / "port");
        if (in >> _port && _port > 0) return true;
        _port = 0;
        return _server->waitExit(std::chrono::milliseconds(0)).has_value();
      },
      _startTimeout);
  return _port > 0;
}

std::string UpdateServerProcess::baseUrl(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(_port) + "/cgi/u";
}

std::filesystem::path UpdateServerProcess::_serialFolder(uint32_t serial) const {
  std::filesystem::path folder = _scratch / "builds" / _hex8(serial);
  std::filesystem::create_directories(folder);
  return folder;
}

void UpdateServerProcess::addBuild(uint32_t serial, const std::string& build, const std::string& payload,
                                   const std::string& version) {
  const std::filesystem::path folder = _serialFolder(serial);
  _writeFile(folder / (build + ".bird"), payload);
  if (!version.empty()) _writeFile(folder / (build + ".version"), version);
}

void UpdateServerProcess::setFirmware(uint32_t serial, const std::string& firmware) {
  _writeFile(_serialFolder(serial) / "firmware", firmware);
}

void UpdateServerProcess::addRecovery(const std::string& fingerprint, const std::string& serialLine,
                                      const std::string& buildLine) {
  _writeFile(_scratch / "builds" / "recovery", fingerprint + ";" + serialLine + ";" + buildLine + "\n", true);
}

std::vector<std::string> UpdateServerProcess::requests() const {
  std::vector<std::string> lines;
  std::ifstream in(_scratch / "requests.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace qftest
