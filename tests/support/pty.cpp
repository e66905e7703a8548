#include "support/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int _msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

namespace qftest {

TestPty::TestPty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "no pseudo-terminal name: " << std::strerror(errno);
    return;
  }
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) ADD_FAILURE() << "cannot open " << name << ": " << std::strerror(errno);
}

TestPty::~TestPty() { hangUp(); }

termios TestPty::settings() const {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) ADD_FAILURE() << "tcgetattr: " << std::strerror(errno);
  return settings;
}

void TestPty::setSettings(const termios& settings) {
  if (tcsetattr(master_, TCSANOW, &settings) != 0) {
    ADD_FAILURE() << "tcsetattr: " << std::strerror(errno);
  }
}

bool TestPty::send(const std::vector<uint8_t>& bytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = write(master_, bytes.data() + done, bytes.size() - done);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd room{master_, POLLOUT, 0};
    if (poll(&room, 1, _msLeft(deadline)) <= 0) return false;
  }
  return true;
}

std::vector<uint8_t> TestPty::receive(size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> received;
  while (received.size() < count) {
    pollfd input{master_, POLLIN, 0};
    if (poll(&input, 1, _msLeft(deadline)) <= 0) break;
    uint8_t chunk[512];
    const ssize_t got = read(master_, chunk, std::min(sizeof chunk, count - received.size()));
    if (got > 0) {
      received.insert(received.end(), chunk, chunk + got);
    } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
  }
  return received;
}

std::vector<uint8_t> TestPty::receiveFor(int timeoutMs) {
  return receive(static_cast<size_t>(-1), timeoutMs);
}

void TestPty::hangUp() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
}

}  // namespace qftest
