#include "support/child_process.h"

#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "support/eventually.h"

namespace qftest {
namespace {

constexpr uid_t _nobody = 65534;

bool _become_ordinary_user(const std::string& owned) {
  if (geteuid() != 0) return true;
  namespace fs = std::filesystem;
  std::error_code error;
  if (lchown(owned.c_str(), _nobody, _nobody) != 0) return false;
  for (auto it = fs::recursive_directory_iterator(owned, error); it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (lchown(it->path().c_str(), _nobody, _nobody) != 0) return false;
  }
  return setgroups(0, nullptr) == 0 && setgid(_nobody) == 0 && setuid(_nobody) == 0;
}

bool _has_ended(pid_t child) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

// Returns once the child has ended (its process descriptor turns readable) or the timeout has
// passed, whichever comes first, leaving the child to be reaped; where no process descriptor can
// be had, it polls instead.
void _await_end(pid_t child, std::chrono::milliseconds timeout) {
  const int descriptor = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (descriptor < 0) {
    Eventually([&] { return _has_ended(child); }, timeout);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  pollfd ended{descriptor, POLLIN, 0};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&ended, 1, static_cast<int>(std::max<long>(left.count(), 0))) >= 0 || errno != EINTR) break;
  }
  close(descriptor);
}

}  // namespace

std::optional<int> reapWithin(pid_t child, std::chrono::milliseconds timeout) {
  int status = 0;
  pid_t done = waitpid(child, &status, WNOHANG);
  if (done == 0 && timeout.count() > 0) {
    _await_end(child, timeout);
    done = waitpid(child, &status, WNOHANG);
  }
  if (done == child) return status;
  return std::nullopt;
}

int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int awaitChild(pid_t child, std::chrono::milliseconds timeout) {
  std::optional<int> status = reapWithin(child, timeout);
  if (!status) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
  }
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

int runInChild(const std::function<int()>& body, int timeoutMs) {
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    int result = body();
    fflush(nullptr);
    _exit(result);
  }
  return awaitChild(child, std::chrono::milliseconds(timeoutMs));
}

int runUnprivileged(const std::string& owned, const std::function<int()>& body, int timeoutMs) {
  return runInChild([&] { return _become_ordinary_user(owned) ? body() : 125; }, timeoutMs);
}

int runWithFileSizeLimit(size_t bytes, FileSizeBreach breach, const std::function<int()>& body, int timeoutMs) {
  return runInChild(
      [&] {
        rlimit limit{bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 124;
        signal(SIGXFSZ, breach == FileSizeBreach::ShortWrite ? SIG_IGN : SIG_DFL);
        return body();
      },
      timeoutMs);
}

}  // namespace qftest
