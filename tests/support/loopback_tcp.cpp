#include "support/loopback_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qftest {

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

RawPeer LoopbackListener::accept(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (descriptor_ < 0 || !waitForDescriptor(descriptor_, POLLIN, deadline)) return RawPeer();
  return RawPeer::adopt(accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC));
}

void LoopbackListener::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

}  // namespace qftest
