// The updater program (build/updater) run by a test as a child process: its standard output and
// error are collected side by side (neither can fill up and stall it), every wait is bounded,
// and a run still going when the object goes is killed and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qftest {

// The path of the program built beside the tests.
std::string UpdaterPath();

struct UpdaterResult {
  int status = -1;  // exit status, 128 + signal number, or -1 when it had to be killed
  std::string out;  // standard output
  std::string err;  // standard error
};

class UpdaterProgram {
 public:
  // Starts the program with the arguments (argv[0] is the program's path). environment holds
  // extra "NAME=value" entries, which replace inherited ones of the same name.
  explicit UpdaterProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {});
  // argv as it is given to the program, argv[0] included; a null entry in first place stands for
  // a missing argv[0] (the vector then holds no program name at all).
  static UpdaterProgram WithArgv(const std::vector<std::optional<std::string>>& argv,
                                 const std::vector<std::string>& environment = {});
  ~UpdaterProgram();
  UpdaterProgram(UpdaterProgram&& other) noexcept;
  UpdaterProgram(const UpdaterProgram&) = delete;
  UpdaterProgram& operator=(const UpdaterProgram&) = delete;

  bool started() const { return _pid > 0; }
  // The running program's process id; -1 once it was reaped.
  pid_t pid() const { return _pid; }
  // Collects output until standard output holds text; false at the time-out or the program's end.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
  void signal(int number);
  // Collects output until the program ends; a program still running at the time-out is killed.
  UpdaterResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  UpdaterProgram() = default;
  void _spawn(const std::vector<std::optional<std::string>>& argv, const std::vector<std::string>& environment);
  // Reads what is there until the deadline or the end of both outputs; false at the end.
  bool _collect(std::chrono::steady_clock::time_point deadline);

  pid_t _pid = -1;
  int _out = -1;
  int _err = -1;
  UpdaterResult _result;
};

// Runs the program to its end (killed after the time-out).
UpdaterResult RunUpdater(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace qftest
