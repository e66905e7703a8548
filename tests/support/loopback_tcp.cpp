#include "support/loopback_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

bool _waitFor(int descriptor, short events, Clock::time_point deadline) {
  pollfd waiting{descriptor, events, 0};
  return poll(&waiting, 1, _msLeft(deadline)) > 0;
}

}  // namespace

namespace qftest {

LoopbackPeer::~LoopbackPeer() { close(); }

bool LoopbackPeer::send(const std::vector<uint8_t>& bytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent =
        ::send(descriptor_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
    } else if (errno != EAGAIN || !_waitFor(descriptor_, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> LoopbackPeer::receive(size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> received;
  while (received.size() < count && _waitFor(descriptor_, POLLIN, deadline)) {
    uint8_t chunk[4096];
    const ssize_t got =
        recv(descriptor_, chunk, std::min(sizeof chunk, count - received.size()), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN)) break;
    if (got > 0) received.insert(received.end(), chunk, chunk + got);
  }
  return received;
}

void LoopbackPeer::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

void LoopbackPeer::reset() {
  const linger abort{1, 0};
  setsockopt(descriptor_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close();
}

LoopbackListener::LoopbackListener(int receiveBuffer, int backlog) {
  descriptor_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (receiveBuffer > 0) {
    setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = LoopbackListener::address();
  socklen_t size = sizeof address;
  if (bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(descriptor_, backlog) != 0 ||
      getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { close(); }

uint32_t LoopbackListener::address() { return htonl(INADDR_LOOPBACK); }

std::unique_ptr<LoopbackPeer> LoopbackListener::accept(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (descriptor_ < 0 || !_waitFor(descriptor_, POLLIN, deadline)) return nullptr;
  const int peer = accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC);
  return peer >= 0 ? std::make_unique<LoopbackPeer>(peer) : nullptr;
}

void LoopbackListener::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

}  // namespace qftest
