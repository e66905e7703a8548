#include "support/child_process.h"

#include <grp.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace qftest {
namespace {

constexpr uid_t _nobody = 65534;

bool _become_ordinary_user(const std::string& owned) {
  if (geteuid() != 0) return true;
  namespace fs = std::filesystem;
  std::error_code error;
  if (lchown(owned.c_str(), _nobody, _nobody) != 0) return false;
  for (auto it = fs::recursive_directory_iterator(owned, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (lchown(it->path().c_str(), _nobody, _nobody) != 0) return false;
  }
  return setgroups(0, nullptr) == 0 && setgid(_nobody) == 0 && setuid(_nobody) == 0;
}

}  // namespace

std::optional<int> reapWithin(pid_t child, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
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

int runWithFileSizeLimit(size_t bytes, FileSizeBreach breach, const std::function<int()>& body,
                         int timeoutMs) {
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
