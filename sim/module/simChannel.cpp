#include "sim/module/simChannel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace qfsim {

namespace {

std::string _systemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void _closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool _setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

class TcpChannel final : public SimChannel {
 public:
  TcpChannel(std::uint16_t port, std::string address) : _port(port), _address(std::move(address)) {}
  ~TcpChannel() override {
    _closeFd(_peer);
    _closeFd(_listener);
  }

  bool open(std::string& error) override {
    _listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_listener < 0) return error = _systemError("socket"), false;
    int on = 1;
    ::setsockopt(_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(_port);
    if (::inet_pton(AF_INET, _address.c_str(), &address.sin_addr) != 1) return error = "bad address " + _address, false;
    if (::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return error = _systemError(("bind " + _address).c_str()), false;
    if (::listen(_listener, 4) != 0) return error = _systemError("listen"), false;
    socklen_t length = sizeof address;
    if (::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return error = _systemError("getsockname"), false;
    _port = ntohs(address.sin_port);
    return true;
  }

  int listenFd() const override { return _listener; }

  bool acceptPeer() override {
    if (_peer >= 0) return false;
    _peer = ::accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (_peer < 0) return false;
    // Requests and replies are a few bytes each; without this delayed ACKs add 40 ms.
    int on = 1;
    ::setsockopt(_peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
  }

  int peerFd() const override { return _peer; }

  bool dropPeer(std::string&) override {
    _closeFd(_peer);
    return true;
  }

  ssize_t readSome(std::uint8_t* buffer, std::size_t room) override {
    ssize_t got = ::recv(_peer, buffer, room, 0);
    if (got > 0) return got;
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
  }

  ssize_t writeSome(const std::uint8_t* bytes, std::size_t length) override {
    ssize_t sent = ::send(_peer, bytes, length, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  }

  bool hangupEndsPeer() const override { return true; }
  std::uint16_t port() const override { return _port; }

 private:
  std::uint16_t _port;
  std::string _address;
  int _listener = -1;
  int _peer = -1;
};

class PtyChannel final : public SimChannel {
 public:
  explicit PtyChannel(std::string linkPath) : _linkPath(std::move(linkPath)) {}
  ~PtyChannel() override {
    _closePty();
    if (_linked) ::unlink(_linkPath.c_str());
  }

  bool open(std::string& error) override {
    char name[256] = {};
    if (::openpty(&_master, &_slave, name, nullptr, nullptr) != 0) return error = _systemError("openpty"), false;
    _path = name;
    ::fcntl(_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(_slave, F_SETFD, FD_CLOEXEC);
    // Raw bytes both ways; a read on the slave returns at once when nothing is waiting. A serial
    // port opened on the slave sets its own line settings over these.
    termios settings{};
    ::tcgetattr(_slave, &settings);
    ::cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(_slave, TCSANOW, &settings) != 0) return error = _systemError("tcsetattr"), false;
    if (!_setNonBlocking(_master)) return error = _systemError("fcntl"), false;
    return _link(error);
  }

  int peerFd() const override { return _master; }

  bool dropPeer(std::string& error) override {
    _closePty();
    return open(error);
  }

  ssize_t readSome(std::uint8_t* buffer, std::size_t room) override {
    ssize_t got = ::read(_master, buffer, room);
    // EIO: no slave side is open; the terminal itself stays usable.
    return got > 0 ? got : 0;
  }

  ssize_t writeSome(const std::uint8_t* bytes, std::size_t length) override {
    ssize_t written = ::write(_master, bytes, length);
    if (written >= 0) return written;
    return (errno == EAGAIN || errno == EINTR || errno == EIO) ? 0 : -1;
  }

  bool hangupEndsPeer() const override { return false; }
  std::string path() const override { return _path; }

 private:
  void _closePty() {
    _closeFd(_master);
    _closeFd(_slave);  // held open so the program under test may close and reopen its side
  }

  bool _link(std::string& error) {
    if (_linkPath.empty()) return true;
    struct stat existing {};
    if (::lstat(_linkPath.c_str(), &existing) == 0) {
      if (!S_ISLNK(existing.st_mode)) return error = "refusing to replace " + _linkPath + ": not a link", false;
      ::unlink(_linkPath.c_str());
    }
    if (::symlink(_path.c_str(), _linkPath.c_str()) != 0) return error = _systemError(_linkPath.c_str()), false;
    _linked = true;
    return true;
  }

  std::string _linkPath;
  std::string _path;
  bool _linked = false;
  int _master = -1;
  int _slave = -1;
};

}  // namespace

std::unique_ptr<SimChannel> simMakeTcpChannel(std::uint16_t port, std::string address) {
  return std::make_unique<TcpChannel>(port, std::move(address));
}
std::unique_ptr<SimChannel> simMakePtyChannel(std::string linkPath) {
  return std::make_unique<PtyChannel>(std::move(linkPath));
}

}  // namespace qfsim
