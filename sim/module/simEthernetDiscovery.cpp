#include "sim/module/simEthernetDiscovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace qfsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t _kRequestPort = 9888;
constexpr std::uint16_t _kReplyPort = 9889;
constexpr const char* _kGroup = "232.2.2.2";
constexpr std::size_t _kRequestSize = 16;
constexpr std::uint8_t _kRequestCommand = 0x01;

void _closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool _parseAddress(const std::string& text, in_addr& address) {
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string _failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::vector<std::uint8_t> simEthernetReply(std::uint8_t address, std::uint16_t port, std::uint32_t serialNumber,
                                           std::uint8_t model) {
  std::vector<std::uint8_t> reply(16, 0);
  reply[1] = address;
  reply[2] = static_cast<std::uint8_t>(port);
  reply[3] = static_cast<std::uint8_t>(port >> 8);
  for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<std::uint8_t>(serialNumber >> (8 * i));
  reply[12] = model;
  return reply;
}

struct SimEthernetDiscovery::Impl {
  explicit Impl(SimEthernetDiscoveryOptions given) : options(std::move(given)) {}

  SimEthernetDiscoveryOptions options;
  int requestFd = -1;
  int replyFd = -1;
  int wakeFd = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint32_t> requests{0};
  // Thread only: where repeats go and when the next is due.
  sockaddr_in lastHost{};
  std::uint32_t repeatsLeft = 0;
  Clock::time_point nextRepeat;

  std::string open() {
    in_addr interface {
    }, source{}, group{};
    const std::string& from = options.replyFrom.empty() ? options.interfaceAddress : options.replyFrom;
    if (!_parseAddress(options.interfaceAddress, interface) || !_parseAddress(from, source) ||
        !_parseAddress(_kGroup, group))
      return "bad interface or reply address";
    requestFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    replyFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (requestFd < 0 || replyFd < 0 || wakeFd < 0) return _failure("socket");
    const int on = 1;
    ::setsockopt(requestFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Bound to the group, so only datagrams sent to the group arrive here.
    sockaddr_in listen{};
    listen.sin_family = AF_INET;
    listen.sin_addr = group;
    listen.sin_port = htons(_kRequestPort);
    if (::bind(requestFd, reinterpret_cast<sockaddr*>(&listen), sizeof listen) != 0) return _failure("bind 9888");
    ip_mreq membership{group, interface};
    if (::setsockopt(requestFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
      return _failure("join " + options.interfaceAddress);
    // Only this socket's own membership counts, as on a module with a single interface.
    const int off = 0;
    if (::setsockopt(requestFd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0)
      return _failure("IP_MULTICAST_ALL");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = source;
    if (::bind(replyFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return _failure("bind " + from);
    return {};
  }

  void sendTo(const sockaddr_in& host, const std::vector<std::uint8_t>& datagram) const {
    [[maybe_unused]] ssize_t ignored =
        ::sendto(replyFd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&host), sizeof host);
  }

  void answer() {
    std::uint8_t request[64];
    sockaddr_in host{};
    socklen_t hostLength = sizeof host;
    ssize_t got = ::recvfrom(requestFd, request, sizeof request, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&host), &hostLength);
    if (got != static_cast<ssize_t>(_kRequestSize) || request[0] != _kRequestCommand) return;
    ++requests;
    host.sin_port = htons(_kReplyPort);
    for (const auto& datagram : options.replies) sendTo(host, datagram);
    lastHost = host;
    repeatsLeft = options.replies.empty() ? 0 : options.repeatTimes;
    nextRepeat = Clock::now() + std::chrono::milliseconds(options.repeatEveryMs);
  }

  int pollTimeout() const {
    if (repeatsLeft == 0) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextRepeat - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left) + 1;
  }

  void run() {
    while (!stopping) {
      pollfd fds[2] = {{requestFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (::poll(fds, 2, pollTimeout()) < 0 && errno != EINTR) return;
      if (fds[0].revents & POLLIN) answer();
      if (repeatsLeft > 0 && Clock::now() >= nextRepeat) {
        sendTo(lastHost, options.replies.front());
        --repeatsLeft;
        nextRepeat = Clock::now() + std::chrono::milliseconds(options.repeatEveryMs);
      }
    }
  }

  void close() {
    _closeFd(requestFd);
    _closeFd(replyFd);
    _closeFd(wakeFd);
  }
};

SimEthernetDiscovery::SimEthernetDiscovery(SimEthernetDiscoveryOptions options)
    : _impl(std::make_unique<Impl>(std::move(options))) {}

SimEthernetDiscovery::~SimEthernetDiscovery() { stop(); }

bool SimEthernetDiscovery::start(std::string* error) {
  if (_impl->thread.joinable()) return true;
  std::string problem = _impl->open();
  if (!problem.empty()) {
    _impl->close();
    if (error) *error = problem;
    return false;
  }
  _impl->stopping = false;
  _impl->thread = std::thread([this] { _impl->run(); });
  return true;
}

void SimEthernetDiscovery::stop() {
  if (!_impl->thread.joinable()) return;
  _impl->stopping = true;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = ::write(_impl->wakeFd, &one, sizeof one);
  _impl->thread.join();
  _impl->close();
}

std::uint32_t SimEthernetDiscovery::requests() const { return _impl->requests; }

}  // namespace qfsim
