#include "support/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qftest {

using std::chrono::milliseconds;

TestPty::TestPty(Line line) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  master_ = RawPeer::adopt(master);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128] = {};
  if (ptsname_r(master, name, sizeof name) != 0) {
    ADD_FAILURE() << "no pseudo-terminal name: " << std::strerror(errno);
    return;
  }
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) {
    ADD_FAILURE() << "cannot open " << name << ": " << std::strerror(errno);
    return;
  }
  if (line == Line::Raw) {
    termios raw = settings();
    cfmakeraw(&raw);
    setSettings(raw);
  }
}

TestPty::~TestPty() {
  if (!link_.empty()) unlink(link_.c_str());
  hangUp();
}

bool TestPty::linkAs(const std::string& linkPath) {
  if (slavePath_.empty() || symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
    ADD_FAILURE() << "cannot link " << linkPath << ": " << std::strerror(errno);
    return false;
  }
  link_ = linkPath;
  return true;
}

termios TestPty::settings() const {
  termios settings{};
  if (tcgetattr(master_.fd(), &settings) != 0) {
    ADD_FAILURE() << "tcgetattr: " << std::strerror(errno);
  }
  return settings;
}

void TestPty::setSettings(const termios& settings) {
  if (tcsetattr(master_.fd(), TCSANOW, &settings) != 0) {
    ADD_FAILURE() << "tcsetattr: " << std::strerror(errno);
  }
}

bool TestPty::send(const std::vector<uint8_t>& bytes, int timeoutMs) {
  return master_.send(bytes, milliseconds(timeoutMs));
}

std::vector<uint8_t> TestPty::receive(size_t count, int timeoutMs) {
  return master_.receive(count, milliseconds(timeoutMs));
}

std::vector<uint8_t> TestPty::receiveFor(int timeoutMs) { return master_.receiveFor(milliseconds(timeoutMs)); }

void TestPty::hangUp() {
  master_.close();
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

}  // namespace qftest
