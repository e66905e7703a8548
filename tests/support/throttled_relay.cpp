#include "support/throttled_relay.h"

#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace qftest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeld = 256;   // the most the relay holds per direction
constexpr int kSocketBuffer = 4096;  // small kernel buffers at the proxy
constexpr int kTickMs = 2;
constexpr int kHangupPauseMs = 20;

void _raw(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return;
  cfmakeraw(&line);
  tcsetattr(fd, TCSANOW, &line);
}

void _nonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int _listenOnLoopback(std::uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int _connectToLoopback(std::uint16_t port) {
  const int fd = connectToLoopback(port, kSocketBuffer);
  if (fd >= 0) _nonBlocking(fd);
  return fd;
}

// One direction: bytes read from one side, written to the other at most at the rate.
struct Direction {
  std::vector<std::uint8_t> held;
  double allowance = 0;
  bool closed = false;

  void read(int from) {
    std::uint8_t buffer[kHeld];
    if (held.size() >= kHeld) return;
    const ssize_t got = ::read(from, buffer, kHeld - held.size());
    if (got > 0) held.insert(held.end(), buffer, buffer + got);
    else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO)) closed = true;
  }
  // Returns the bytes written.
  std::size_t write(int to, double rate, double seconds) {
    allowance = std::min(allowance + rate * seconds, static_cast<double>(kHeld));
    const auto room = static_cast<std::size_t>(allowance);
    const std::size_t count = std::min(room, held.size());
    if (count == 0) return 0;
    const ssize_t written = ::write(to, held.data(), count);
    if (written <= 0) return 0;
    held.erase(held.begin(), held.begin() + written);
    allowance -= static_cast<double>(written);
    return static_cast<std::size_t>(written);
  }
};

}  // namespace

std::unique_ptr<ThrottledRelay> ThrottledRelay::tcp(std::uint16_t modulePort, std::size_t bytesPerSecond) {
  auto relay = std::make_unique<ThrottledRelay>(bytesPerSecond);
  relay->modulePort_ = modulePort;
  relay->listener_ = _listenOnLoopback(&relay->port_);
  if (relay->listener_ >= 0) relay->start();
  return relay;
}

std::unique_ptr<ThrottledRelay> ThrottledRelay::terminal(const std::string& modulePath, std::size_t bytesPerSecond) {
  auto relay = std::make_unique<ThrottledRelay>(bytesPerSecond);
  relay->modulePath_ = modulePath;
  relay->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (relay->master_ < 0 || grantpt(relay->master_) != 0 || unlockpt(relay->master_) != 0) return relay;
  relay->slavePath_ = ptsname(relay->master_);
  relay->ownSlave_ = ::open(relay->slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  _raw(relay->ownSlave_);
  _nonBlocking(relay->master_);
  relay->start();
  return relay;
}

ThrottledRelay::~ThrottledRelay() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : {listener_, master_, ownSlave_})
    if (fd >= 0) ::close(fd);
}

void ThrottledRelay::start() {
  thread_ = std::thread([this] { run(); });
}

void ThrottledRelay::run() {
  int program = -1, module = -1;
  Direction up, down;  // toward the module, toward the program
  auto last = Clock::now();
  auto endConnection = [&] {
    if (listener_ >= 0 && program >= 0) ::close(program);
    if (module >= 0) ::close(module);
    program = module = -1;
    up = down = Direction{};
  };
  while (!stop_) {
    if (program < 0 && listener_ >= 0) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, kTickMs) <= 0) continue;
      program = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      module = program >= 0 ? _connectToLoopback(modulePort_) : -1;
      if (module < 0) endConnection();
      last = Clock::now();
      continue;
    }
    if (program < 0) program = master_;
    if (module < 0) {
      module = ::open(modulePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (module < 0) {
        ::usleep(kHangupPauseMs * 1000);
        continue;
      }
      _raw(module);
    }
    // A side whose bytes wait for the rate is not read: the poll then only paces the writes.
    const auto wanted = [](const Direction& direction) -> short { return direction.held.size() < kHeld ? POLLIN : 0; };
    pollfd fds[2] = {{program, wanted(up), 0}, {module, wanted(down), 0}};
    ::poll(fds, 2, kTickMs);
    // A terminal nobody has open hangs up: wait for the program to open it.
    if (listener_ < 0 && (fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) ::usleep(kHangupPauseMs * 1000);
    up.read(program);
    down.read(module);
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - last).count();
    last = now;
    toModule_ += up.write(module, static_cast<double>(rate_), seconds);
    down.write(program, static_cast<double>(rate_), seconds);
    if (listener_ >= 0 && (up.closed || down.closed)) endConnection();
    if (listener_ < 0) up.closed = down.closed = false;
  }
  if (listener_ >= 0) endConnection();
  else if (module >= 0) ::close(module);
}

}  // namespace qftest
