#include "support/updater_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/child_process.h"

extern char** environ;

namespace qftest {

using Clock = std::chrono::steady_clock;

namespace {

// The inherited environment with the given entries in place of those of the same name.
std::vector<std::string> _environment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& own : extra) replaced = replaced || own.substr(0, own.find('=')) == name;
    if (!replaced) merged.push_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

}  // namespace

std::string UpdaterPath() { return std::string(QF_BINARY_DIR) + "/updater"; }

UpdaterProgram::UpdaterProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  std::vector<std::optional<std::string>> argv{UpdaterPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  _spawn(argv, environment);
}

UpdaterProgram UpdaterProgram::WithArgv(const std::vector<std::optional<std::string>>& argv,
                                        const std::vector<std::string>& environment) {
  UpdaterProgram program;
  program._spawn(argv, environment);
  return program;
}

UpdaterProgram::UpdaterProgram(UpdaterProgram&& other) noexcept
    : _pid(other._pid), _out(other._out), _err(other._err), _result(std::move(other._result)) {
  other._pid = -1;
  other._out = other._err = -1;
}

void UpdaterProgram::_spawn(const std::vector<std::optional<std::string>>& argv,
                            const std::vector<std::string>& environment) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]), ::close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // A missing argv[0] leaves the vector empty: argc is 0 for the program.
  std::vector<char*> args;
  for (const auto& argument : argv)
    if (argument) args.push_back(const_cast<char*>(argument->c_str()));
  args.push_back(nullptr);
  std::vector<std::string> entries = _environment(environment);
  std::vector<char*> env;
  for (std::string& entry : entries) env.push_back(entry.data());
  env.push_back(nullptr);
  if (::posix_spawn(&_pid, UpdaterPath().c_str(), &actions, nullptr, args.data(), env.data()) != 0) _pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  _out = out[0];
  _err = err[0];
}

UpdaterProgram::~UpdaterProgram() {
  if (_pid > 0) {
    ::kill(_pid, SIGKILL);
    reapWithin(_pid, std::chrono::seconds(5));
  }
  closeDescriptor(_out);
  closeDescriptor(_err);
}

bool UpdaterProgram::_collect(Clock::time_point deadline) {
  while (_out >= 0 || _err >= 0) {
    pollfd fds[2] = {{_out, POLLIN, 0}, {_err, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return true;
    if (::poll(fds, 2, static_cast<int>(left)) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      int& fd = i == 0 ? _out : _err;
      if (got <= 0) closeDescriptor(fd);
      else (i == 0 ? _result.out : _result.err).append(buffer, static_cast<size_t>(got));
    }
    if (fds[0].revents & POLLIN) return true;  // let a caller waiting for output look
  }
  return false;
}

bool UpdaterProgram::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (_result.out.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || !_collect(deadline)) return _result.out.find(text) != std::string::npos;
  }
  return true;
}

void UpdaterProgram::signal(int number) {
  if (_pid > 0) ::kill(_pid, number);
}

UpdaterResult UpdaterProgram::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && _collect(deadline)) {
  }
  if (_pid > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::optional<int> raw = reapWithin(_pid, std::max(left, std::chrono::milliseconds(0)));
    if (!raw) {
      ::kill(_pid, SIGKILL);
      reapWithin(_pid, std::chrono::seconds(5));
      _result.status = -1;
    } else {
      _result.status = exitStatusOf(*raw);
    }
    _pid = -1;
  }
  return _result;
}

UpdaterResult RunUpdater(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout) {
  UpdaterProgram program(arguments, environment);
  return program.finish(timeout);
}

}  // namespace qftest
