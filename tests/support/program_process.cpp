#include "support/program_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <sstream>

#include "support/child_process.h"
#include "support/raw_peer.h"

extern char** environ;

namespace qftest {

using Clock = std::chrono::steady_clock;

ProgramProcess::ProgramProcess(const std::string& program, const std::vector<std::string>& arguments, Output output) {
  const bool piped = output == Output::Piped;
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || (piped && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0))) {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  if (piped) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  if (::posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) _pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  closeDescriptor(out[1]);
  closeDescriptor(err[1]);
  _input = in[1];
  _output = out[0];
  _error = err[0];
}

ProgramProcess::~ProgramProcess() {
  closeInput();
  signal(SIGTERM);
  if (started() && !waitExit(std::chrono::milliseconds(2000))) {
    signal(SIGKILL);
    waitExit(std::chrono::milliseconds(2000));
  }
  closeDescriptor(_output);
  closeDescriptor(_error);
}

std::optional<std::string> ProgramProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    std::size_t end = _pendingOutput.find('\n');
    if (end != std::string::npos) {
      std::string line = _pendingOutput.substr(0, end);
      _pendingOutput.erase(0, end + 1);
      return line;
    }
    if (_output < 0 || !waitForDescriptor(_output, POLLIN, deadline)) return std::nullopt;
    char buffer[512];
    ssize_t got = ::read(_output, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    _pendingOutput.append(buffer, static_cast<std::size_t>(got));
  }
}

bool ProgramProcess::writeLine(const std::string& line) {
  std::string text = line + "\n";
  return _input >= 0 && ::write(_input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ProgramProcess::closeInput() { closeDescriptor(_input); }

void ProgramProcess::signal(int number) {
  if (started() && !_status) ::kill(_pid, number);
}

std::optional<int> ProgramProcess::waitExit(std::chrono::milliseconds timeout) {
  if (!started() || _status) return _status;
  if (std::optional<int> raw = reapWithin(_pid, timeout)) _status = exitStatusOf(*raw);
  return _status;
}

std::string ProgramProcess::errorOutput(std::chrono::milliseconds timeout) {
  std::string text;
  auto deadline = Clock::now() + timeout;
  char buffer[512];
  while (_error >= 0 && waitForDescriptor(_error, POLLIN, deadline)) {
    ssize_t got = ::read(_error, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

std::string wordValue(const std::string& line, const std::string& key) {
  std::istringstream words(line);
  std::string word;
  while (words >> word)
    if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
  return {};
}

}  // namespace qftest
