#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

namespace qftest {

using Clock = std::chrono::steady_clock;

bool waitForDescriptor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) return false;
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left) + 1);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

int connectToLoopback(std::uint16_t port, int sendBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (sendBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RawPeer RawPeer::tcp(std::uint16_t port) {
  const int fd = connectToLoopback(port);
  if (fd < 0) return RawPeer();
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return RawPeer(fd);
}

RawPeer RawPeer::terminal(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return RawPeer();
  termios settings{};
  ::tcgetattr(fd, &settings);
  ::cfmakeraw(&settings);
  ::tcsetattr(fd, TCSANOW, &settings);
  return RawPeer(fd);
}

RawPeer RawPeer::adopt(int fd) { return fd >= 0 ? RawPeer(fd) : RawPeer(); }

// Non-blocking, so that no send or read can outlast its deadline.
RawPeer::RawPeer(int fd) : _fd(fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

RawPeer::RawPeer(RawPeer&& other) noexcept : _fd(other._fd) { other._fd = -1; }

RawPeer& RawPeer::operator=(RawPeer&& other) noexcept {
  if (this != &other) {
    close();
    _fd = other._fd;
    other._fd = -1;
  }
  return *this;
}

RawPeer::~RawPeer() { close(); }

void RawPeer::close() {
  if (_fd >= 0) ::close(_fd);
  _fd = -1;
}

void RawPeer::reset() {
  const linger abort{1, 0};
  if (_fd >= 0) ::setsockopt(_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close();
}

bool RawPeer::send(const Bytes& bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint8_t* rest = bytes.data() + done;
    ssize_t written = ::send(_fd, rest, bytes.size() - done, MSG_NOSIGNAL);
    if (written < 0 && errno == ENOTSOCK) written = ::write(_fd, rest, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written == 0 || (errno != EAGAIN && errno != EINTR) ||
               (errno == EAGAIN && !waitForDescriptor(_fd, POLLOUT, deadline))) {
      return false;
    }
  }
  return true;
}

long RawPeer::_readSome(std::uint8_t* buffer, std::size_t room, Clock::time_point deadline) {
  while (true) {
    if (!waitForDescriptor(_fd, POLLIN, deadline)) return 0;
    ssize_t got = ::read(_fd, buffer, room);
    if (got > 0) return got;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return -1;  // end of stream, or EIO once a terminal's other side is gone
  }
}

Bytes RawPeer::receive(std::size_t count, std::chrono::milliseconds timeout) {
  Bytes out(count);
  std::size_t got = 0;
  auto deadline = Clock::now() + timeout;
  while (got < count) {
    long n = _readSome(out.data() + got, count - got, deadline);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

Bytes RawPeer::receiveThrough(std::uint8_t last, std::chrono::milliseconds timeout) {
  Bytes out;
  auto deadline = Clock::now() + timeout;
  std::uint8_t byte;
  while (_readSome(&byte, 1, deadline) > 0) {
    out.push_back(byte);
    if (byte == last) break;
  }
  return out;
}

Bytes RawPeer::receiveFor(std::chrono::milliseconds time) {
  Bytes out;
  auto deadline = Clock::now() + time;
  std::uint8_t buffer[256];
  long n;
  while ((n = _readSome(buffer, sizeof buffer, deadline)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

bool RawPeer::closedWithin(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::uint8_t buffer[256];
  long n;
  while ((n = _readSome(buffer, sizeof buffer, deadline)) > 0) {
  }
  return n < 0;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char two[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(two, sizeof two, "%02X", byte);
    if (!text.empty()) text += ' ';
    text += two;
  }
  return text;
}

}  // namespace qftest
