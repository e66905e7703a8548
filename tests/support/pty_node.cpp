#include "support/pty_node.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

PtyNode::PtyNode(const std::string& linkPath) : link_(linkPath) {
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return;
  }
  termios raw;
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  ok_ = symlink(ttyname(slave_), link_.c_str()) == 0;
  if (!ok_) ADD_FAILURE() << "cannot link " << link_;
}

PtyNode::~PtyNode() {
  if (ok_) unlink(link_.c_str());
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void PtyNode::send(const std::string& bytes) {
  ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

std::string PtyNode::receive(size_t length, std::chrono::milliseconds timeout) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < length && std::chrono::steady_clock::now() < deadline) {
    pollfd watch = {master_, POLLIN, 0};
    if (poll(&watch, 1, 50) <= 0) continue;
    char buffer[512];
    ssize_t n = read(master_, buffer, std::min(sizeof buffer, length - got.size()));
    if (n > 0) got.append(buffer, size_t(n));
  }
  return got;
}
