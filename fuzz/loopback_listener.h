// A TCP listener on loopback at a port the system picks, for the harnesses' own peers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>

// The listening socket; its port in `port`. Aborts when the system refuses one.
inline int listenOnLoopback(int backlog, uint16_t& port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, backlog) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    std::abort();
  port = ntohs(address.sin_port);
  return listener;
}
