// Which of a test's waiting threads the kernel has put to sleep (blocked in a futex, a poll or a
// read), so that a test can act once a waiter is asleep instead of guessing with a pause. Each
// waiter registers itself just before it blocks.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace qftest {

class SleepingThreads {
 public:
  // Called by a waiter on its own thread right before it blocks.
  void enter() {
    const auto tid = static_cast<pid_t>(::syscall(SYS_gettid));
    std::lock_guard lock(_mutex);
    _threads.push_back(tid);
  }

  void clear() {
    std::lock_guard lock(_mutex);
    _threads.clear();
  }

  // How many of the registered threads still exist and sleep.
  size_t asleep() const {
    std::lock_guard lock(_mutex);
    size_t count = 0;
    for (pid_t tid : _threads) count += _isAsleep(tid) ? 1 : 0;
    return count;
  }

 private:
  // The state letter follows the parenthesised command name in /proc/self/task/<tid>/stat.
  static bool _isAsleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t nameEnd = line.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < line.size() && line[nameEnd + 2] == 'S';
  }

  mutable std::mutex _mutex;
  std::vector<pid_t> _threads;
};

}  // namespace qftest
