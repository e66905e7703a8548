#include "support/console_capture.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "support/child_process.h"

namespace qftest {
namespace {

struct Channel {
  int readFd = -1;
  int writeFd = -1;
};

Channel _open_channel(StdoutKind kind) {
  int fds[2];
  if (kind == StdoutKind::Terminal) {
    if (openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    termios raw{};
    tcgetattr(fds[1], &raw);
    cfmakeraw(&raw);
    tcsetattr(fds[1], TCSANOW, &raw);
  } else if (pipe(fds) != 0) {
    throw std::runtime_error("pipe failed");
  }
  return {fds[0], fds[1]};
}

// Reads both channels until each reports end (a pipe's EOF, a terminal's EIO once the child
// closed its side) or the deadline passes. Returns false on time-out.
bool _drain(int outFd, int errFd, CapturedConsole& captured, std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&captured.out, &captured.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(got));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

}  // namespace

CapturedConsole runWithConsole(StdoutKind kind, const std::function<void()>& body, int timeoutMs) {
  Channel out = _open_channel(kind);
  Channel err = _open_channel(StdoutKind::Pipe);
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(out.writeFd, STDOUT_FILENO);
    dup2(err.writeFd, STDERR_FILENO);
    for (int fd : {out.readFd, out.writeFd, err.readFd, err.writeFd}) close(fd);
    body();
    fflush(nullptr);
    _exit(0);
  }
  close(out.writeFd);
  close(err.writeFd);
  CapturedConsole captured;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool finished = _drain(out.readFd, err.readFd, captured, deadline);
  close(out.readFd);
  close(err.readFd);
  if (!finished) kill(child, SIGKILL);
  const int status = awaitChild(child, std::chrono::milliseconds(timeoutMs));
  if (finished) captured.exitStatus = status;
  return captured;
}

}  // namespace qftest
