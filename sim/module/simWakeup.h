// The wake-up of a simulator's thread that sleeps in poll(): an eventfd that other threads
// signal when they have changed what the thread serves, and that the thread drains once poll()
// says it is readable. Shared by the simulators; nothing of the device library.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace qfsim {

class SimWakeup {
 public:
  SimWakeup() = default;
  ~SimWakeup() { close(); }
  SimWakeup(const SimWakeup&) = delete;
  SimWakeup& operator=(const SimWakeup&) = delete;

  // Makes the descriptor; false with a reason when it cannot be made.
  bool open(std::string& error) {
    close();
    _fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (_fd < 0) error = "eventfd failed";
    return _fd >= 0;
  }
  void close() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }

  // What the thread polls for reading, -1 while not open.
  int fd() const { return _fd; }
  // Makes the thread's poll() return.
  void signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(_fd, &one, sizeof one);
  }
  // Takes every signal so far, so that the next poll() sleeps again.
  void drain() const {
    std::uint64_t signals = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(_fd, &signals, sizeof signals);
  }

 private:
  int _fd = -1;
};

}  // namespace qfsim
