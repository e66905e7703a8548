#include "sim/module/simModule.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/module/simChannel.h"
#include "sim/module/simSession.h"
#include "sim/module/simWakeup.h"

namespace qfsim {

namespace {

using Clock = SimSession::Clock;

constexpr std::size_t _kReadChunk = 512;
constexpr std::size_t _kMaxReadPerWake = 64 * 1024;  // keeps timers and commands served under a flood
constexpr auto _kHangupPause = std::chrono::milliseconds(50);
constexpr auto _kLongestSleep = std::chrono::milliseconds(1000);
constexpr auto _kCommandWait = std::chrono::milliseconds(2000);

SimState _initialState(const SimModuleOptions& options) {
  SimState state;
  state.address = options.address;
  state.model = options.model;
  state.serialNumber = options.serialNumber;
  state.faults = options.faults;
  return state;
}

std::unique_ptr<SimFramer> _framerFor(SimTransport transport) {
  return transport == SimTransport::serial ? simMakeCobsFramer() : simMakeRawFramer();
}

std::string _checkOptions(const SimModuleOptions& options) {
  if (options.address == 0 || (options.address & 1) != 0) return "the module address must be even and non-zero";
  return {};
}

}  // namespace

struct SimModule::Impl {
  explicit Impl(SimModuleOptions given)
      : options(std::move(given)), session(_initialState(options), _framerFor(options.transport)) {
    session.setHeartbeatInterval(std::chrono::milliseconds(options.heartbeatIntervalMs), Clock::now());
  }

  SimModuleOptions options;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;

  // Guarded by mutex.
  SimSession session;
  std::unique_ptr<SimChannel> channel;
  std::vector<HeartbeatKind> heartbeatRequests;
  bool closeRequested = false;
  std::uint64_t commandsAsked = 0;
  std::uint64_t commandsServed = 0;
  Clock::time_point pausedUntil;  // a terminal nobody has open is not polled until then
  std::string channelError;

  std::atomic<bool> stopping{false};
  std::atomic<bool> running{false};
  SimWakeup wakeup;  // opened and closed under mutex
  std::thread thread;

  void wake() const { wakeup.signal(); }

  // Hands a command to the thread and waits until it has been carried out.
  void runCommand(std::unique_lock<std::mutex>& lock) {
    std::uint64_t ticket = ++commandsAsked;
    wake();
    changed.wait_for(lock, _kCommandWait, [&] { return commandsServed >= ticket || stopping; });
  }

  void loop();
  void serve(const pollfd* listen, const pollfd* peer);
  int sleepMs(Clock::time_point now) const;
  void readPeer(short events);
  void dropConnection();
  bool writePending();  // false when the peer is gone
  void flush();
};

SimModule::SimModule(SimModuleOptions options) : _impl(std::make_unique<Impl>(std::move(options))) {}

SimModule::~SimModule() { stop(); }

bool SimModule::start(std::string* error) {
  Impl& m = *_impl;
  if (m.running) return true;
  std::string problem = _checkOptions(m.options);
  {
    std::lock_guard lock(m.mutex);
    if (problem.empty()) {
      bool tcp = m.options.transport == SimTransport::tcp;
      m.channel = tcp ? simMakeTcpChannel(m.options.port, m.options.tcpAddress) : simMakePtyChannel(m.options.linkPath);
      if (!m.channel->open(problem) && problem.empty()) problem = "cannot open the transport";
      if (problem.empty() && !tcp) m.session.connect(Clock::now());  // the terminal is there from the start
    }
    if (problem.empty()) m.wakeup.open(problem);
    if (!problem.empty()) {
      m.channel.reset();
      if (error) *error = problem;
      return false;
    }
  }
  m.stopping = false;
  m.running = true;
  m.thread = std::thread([&m] { m.loop(); });
  return true;
}

void SimModule::stop() {
  Impl& m = *_impl;
  if (!m.running) return;
  m.stopping = true;
  m.wake();
  m.thread.join();
  m.running = false;
  std::lock_guard lock(m.mutex);
  m.channel.reset();
  m.wakeup.close();
}

std::uint16_t SimModule::port() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->channel ? _impl->channel->port() : 0;
}

std::string SimModule::path() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->channel ? _impl->channel->path() : std::string();
}

std::uint8_t SimModule::address() const { return _impl->options.address; }
std::uint8_t SimModule::model() const { return _impl->options.model; }
std::uint32_t SimModule::serialNumber() const { return _impl->options.serialNumber; }

void SimModule::setFaults(const SimFaults& faults) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.state().faults = faults;
}

SimFaults SimModule::faults() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->session.state().faults;
}

void SimModule::setHeartbeatInterval(std::uint32_t intervalMs) {
  std::unique_lock lock(_impl->mutex);
  _impl->session.setHeartbeatInterval(std::chrono::milliseconds(intervalMs), Clock::now());
  if (_impl->running) _impl->runCommand(lock);
}

void SimModule::sendHeartbeat(HeartbeatKind kind) {
  std::unique_lock lock(_impl->mutex);
  if (!_impl->running) return;
  _impl->heartbeatRequests.push_back(kind);
  _impl->runCommand(lock);
}

void SimModule::closeConnection() {
  std::unique_lock lock(_impl->mutex);
  if (!_impl->running) return;
  _impl->closeRequested = true;
  _impl->runCommand(lock);
}

void SimModule::setHandler(std::uint8_t command, SimHandler handler) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.protocol().setHandler(command, std::move(handler));
}

void SimModule::setTicker(std::chrono::milliseconds interval, SimTicker ticker) {
  std::unique_lock lock(_impl->mutex);
  _impl->session.setTicker(interval, std::move(ticker), Clock::now());
  if (_impl->running) _impl->runCommand(lock);  // the thread's sleep takes the new due time
}

void SimModule::setTickInterval(std::chrono::milliseconds interval) {
  std::unique_lock lock(_impl->mutex);
  _impl->session.setTickInterval(interval, Clock::now());
  if (_impl->running) _impl->runCommand(lock);
}

void SimModule::setGreeting(SimGreeting greeting) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.protocol().setGreeting(std::move(greeting));
}

void SimModule::addRoutedModule(std::shared_ptr<SimRoutedModule> routed) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.protocol().addRouted(std::move(routed));
}

SimRecord SimModule::record() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->session.state().record;
}

void SimModule::clearRecord() {
  std::lock_guard lock(_impl->mutex);
  _impl->session.state().record = SimRecord{};
}

bool SimModule::waitUntil(const std::function<bool(const SimRecord&)>& condition,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_impl->mutex);
  return _impl->changed.wait_for(lock, timeout, [&] { return condition(_impl->session.state().record); });
}

void SimModule::Impl::loop() {
  while (!stopping) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = pollfd{wakeup.fd(), POLLIN, 0};
    int listenAt = -1, peerAt = -1, timeoutMs;
    {
      std::lock_guard lock(mutex);
      auto now = Clock::now();
      int peer = channel->peerFd();
      if (peer < 0 && channel->listenFd() >= 0) {
        listenAt = static_cast<int>(count);
        fds[count++] = pollfd{channel->listenFd(), POLLIN, 0};
      }
      if (peer >= 0 && now >= pausedUntil) {
        peerAt = static_cast<int>(count);
        fds[count++] = pollfd{peer, static_cast<short>(POLLIN | (session.output().empty() ? 0 : POLLOUT)), 0};
      }
      timeoutMs = sleepMs(now);
    }
    ::poll(fds, count, timeoutMs);
    if (fds[0].revents & POLLIN) wakeup.drain();
    {
      std::lock_guard lock(mutex);
      serve(listenAt >= 0 ? &fds[listenAt] : nullptr, peerAt >= 0 ? &fds[peerAt] : nullptr);
    }
    changed.notify_all();
  }
}

int SimModule::Impl::sleepMs(Clock::time_point now) const {
  Clock::time_point until = now + _kLongestSleep;
  if (auto due = session.nextDue()) until = std::min(until, *due);
  if (pausedUntil > now) until = std::min(until, pausedUntil);
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::max<long long>(0, wait + (until > now ? 1 : 0)));
}

void SimModule::Impl::serve(const pollfd* listen, const pollfd* peer) {
  std::uint64_t asked = commandsAsked;
  if (closeRequested) {
    closeRequested = false;
    dropConnection();
  }
  for (HeartbeatKind kind : heartbeatRequests) session.sendHeartbeat(kind, Clock::now());
  heartbeatRequests.clear();
  commandsServed = asked;

  if (listen && (listen->revents & POLLIN) && channel->acceptPeer()) session.connect(Clock::now());
  bool samePeer = peer && peer->fd == channel->peerFd();  // a command may have replaced it
  if (samePeer && (peer->revents & (POLLIN | POLLHUP | POLLERR))) readPeer(peer->revents);

  session.advance(Clock::now());
  flush();
}

void SimModule::Impl::readPeer(short events) {
  std::uint8_t buffer[_kReadChunk];
  std::size_t total = 0;
  while (total < _kMaxReadPerWake) {
    ssize_t got = channel->readSome(buffer, sizeof buffer);
    if (got < 0) {
      dropConnection();
      return;
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
    if (!session.receive(buffer, static_cast<std::size_t>(got), Clock::now())) {
      writePending();  // what was answered before the drop still goes out
      dropConnection();
      return;
    }
  }
  // Nothing to read yet a hang-up: nobody has the terminal's slave side open. Sleep on it.
  if (total == 0 && (events & (POLLHUP | POLLERR))) {
    if (channel->hangupEndsPeer()) dropConnection();
    else pausedUntil = Clock::now() + _kHangupPause;
  }
}

void SimModule::Impl::dropConnection() {
  bool reopens = !channel->hangupEndsPeer();
  if (!channel->dropPeer(channelError)) reopens = false;
  session.disconnect();
  pausedUntil = {};
  if (reopens) session.connect(Clock::now());
}

bool SimModule::Impl::writePending() {
  std::vector<std::uint8_t>& output = session.output();
  if (output.empty() || channel->peerFd() < 0) return true;
  ssize_t written = channel->writeSome(output.data(), output.size());
  if (written < 0) return false;
  output.erase(output.begin(), output.begin() + written);
  return true;
}

void SimModule::Impl::flush() {
  if (!writePending()) dropConnection();
}

}  // namespace qfsim
