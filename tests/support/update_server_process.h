// Runs the test update server (sim/update_server/update_server.py) as a child process on a free
// loopback port for the life of the object. The server answers from a builds folder inside a
// scratch folder of its own and logs every request's path and query, which tests read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/program_process.h"
#include "support/temp_folder.h"

namespace qftest {

class UpdateServerProcess {
 public:
  // fault: one of the server's --fault modes ("none" answers normally). extraArgs are passed on
  // to the server as they are (for instance --tls-cert FILE --tls-key FILE).
  explicit UpdateServerProcess(const std::string& fault = "none", const std::vector<std::string>& extraArgs = {});
  // Stops the server (as ProgramProcess does) and removes the scratch folder.
  ~UpdateServerProcess() = default;

  UpdateServerProcess(const UpdateServerProcess&) = delete;
  UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

  // True once the server listens; false when it failed to start in time (see the test's stderr).
  bool running() const { return _port != 0; }
  int port() const { return _port; }
  // scheme://127.0.0.1:PORT/cgi/u
  std::string baseUrl(const std::string& scheme = "http") const;

  // Adds (or replaces) a build: its bird file holds payload as it is; version, when not empty, is
  // what the build list shows for it.
  void addBuild(uint32_t serial, const std::string& build, const std::string& payload, const std::string& version = "");
  // Sets the firmware text of the newest-build answer for serial.
  void setFirmware(uint32_t serial, const std::string& firmware);
  // Appends a recovery answer: fingerprint value as the query carries it, then the exact texts of
  // the serial-number and build lines.
  void addRecovery(const std::string& fingerprint, const std::string& serialLine, const std::string& buildLine);

  // The request targets (path and query) received so far, in order.
  std::vector<std::string> requests() const;

 private:
  std::filesystem::path _serialFolder(uint32_t serial) const;
  bool _waitForPort();

  TempFolder _scratchFolder;
  std::filesystem::path _scratch;
  // Its messages go to the test's own standard error, where a failed start can be read.
  std::unique_ptr<ProgramProcess> _server;  // stopped before the scratch folder goes
  int _port = 0;
};

}  // namespace qftest
