#include "sim/lpcisp/simIspPort.h"

#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "sim/module/simChannel.h"
#include "sim/module/simWakeup.h"

namespace qfsim {

namespace {

constexpr std::size_t _kReadChunk = 512;
constexpr int _kIdlePollMs = 1000;
constexpr int _kHangupPauseMs = 50;  // a terminal that polls hung up is looked at this often

// The rate the program under test set on its side of the terminal (0 when not one of the
// rates a UART of this chip runs at).
std::uint32_t _lineRate(int fd) {
  static const std::pair<speed_t, std::uint32_t> rates[] = {{B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                                                            {B19200, 19200},   {B38400, 38400},  {B57600, 57600},
                                                            {B115200, 115200}, {B230400, 230400}};
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) return 0;
  const speed_t speed = ::cfgetospeed(&settings);
  for (const auto& [code, baud] : rates) {
    if (code == speed) return baud;
  }
  return 0;
}

}  // namespace

struct SimIspPort::Impl {
  Impl(IspIdentity identity, std::string link) : device(identity), linkPath(std::move(link)) {}

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  IspDevice device;  // guarded by mutex
  std::string linkPath;
  std::unique_ptr<SimChannel> channel;  // used by the thread only while it runs
  std::string pending;                  // bytes the chip has yet to send; the thread's own
  // Pauses in pending (offsets into it), first one first; the thread's own. A pause starts when
  // the bytes before it are written and holds the rest back until its time is up.
  std::deque<IspPause> pauses;
  std::optional<std::chrono::steady_clock::time_point> pausedUntil;
  std::atomic<bool> stopping{false};
  bool running = false;
  SimWakeup wakeup;
  std::thread thread;

  void loop();
  void readPeer();
  void writePending();
  // Bytes of pending that may go out now; sets the end of a pause that has just begun.
  std::size_t sendable();
  int pollTimeoutMs() const;
};

SimIspPort::SimIspPort(IspIdentity identity, std::string linkPath)
    : _impl(std::make_unique<Impl>(identity, std::move(linkPath))) {}

SimIspPort::~SimIspPort() { stop(); }

bool SimIspPort::start(std::string* error) {
  Impl& m = *_impl;
  if (m.running) return true;
  std::string problem;
  m.channel = simMakePtyChannel(m.linkPath);
  if (!m.channel->open(problem) && problem.empty()) problem = "cannot open a pseudo-terminal";
  if (problem.empty()) m.wakeup.open(problem);
  if (!problem.empty()) {
    m.channel.reset();
    if (error) *error = problem;
    return false;
  }
  m.stopping = false;
  m.running = true;
  m.thread = std::thread([&m] { m.loop(); });
  return true;
}

void SimIspPort::stop() {
  Impl& m = *_impl;
  if (!m.running) return;
  m.stopping = true;
  m.wakeup.signal();
  m.thread.join();
  m.wakeup.close();
  m.channel.reset();
  m.running = false;
}

std::string SimIspPort::path() const { return _impl->channel ? _impl->channel->path() : std::string(); }

void SimIspPort::withDevice(const std::function<void(IspDevice&)>& action) {
  std::lock_guard lock(_impl->mutex);
  action(_impl->device);
}

bool SimIspPort::waitUntil(const std::function<bool(const IspDevice&)>& condition,
                           std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_impl->mutex);
  return _impl->changed.wait_for(lock, timeout, [&] { return condition(_impl->device); });
}

void SimIspPort::Impl::loop() {
  while (!stopping) {
    const int peer = channel->peerFd();
    const bool wantsOut = sendable() > 0;
    pollfd fds[2] = {{wakeup.fd(), POLLIN, 0}, {peer, static_cast<short>(POLLIN | (wantsOut ? POLLOUT : 0)), 0}};
    ::poll(fds, 2, pollTimeoutMs());
    if (fds[0].revents & POLLIN) wakeup.drain();
    if (fds[1].revents & POLLIN) readPeer();
    if (!pending.empty()) writePending();
    if ((fds[1].revents & POLLHUP) && !(fds[1].revents & POLLIN)) {
      ::poll(fds, 1, _kHangupPauseMs);  // nobody has the terminal open: do not spin on it
    }
  }
}

void SimIspPort::Impl::readPeer() {
  std::uint8_t bytes[_kReadChunk];
  const ssize_t got = channel->readSome(bytes, sizeof bytes);
  if (got <= 0) return;
  const std::uint32_t rate = _lineRate(channel->peerFd());
  std::string out;
  std::vector<IspPause> added;
  {
    std::lock_guard lock(mutex);
    device.setLineRate(rate);
    device.receive(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(got)), out, &added);
  }
  for (IspPause& pause : added) pauses.push_back({pending.size() + pause.at, pause.ms});
  pending += out;
  changed.notify_all();
}

std::size_t SimIspPort::Impl::sendable() {
  if (pauses.empty()) return pending.size();
  if (pauses.front().at > 0) return pauses.front().at;
  const auto now = std::chrono::steady_clock::now();
  if (!pausedUntil) pausedUntil = now + std::chrono::milliseconds(pauses.front().ms);
  if (now < *pausedUntil) return 0;
  pauses.pop_front();
  pausedUntil.reset();
  return sendable();
}

int SimIspPort::Impl::pollTimeoutMs() const {
  if (!pausedUntil) return _kIdlePollMs;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*pausedUntil - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, _kIdlePollMs));
}

void SimIspPort::Impl::writePending() {
  const std::size_t ready = sendable();
  if (ready == 0) return;
  const ssize_t written = channel->writeSome(reinterpret_cast<const std::uint8_t*>(pending.data()), ready);
  if (written <= 0) return;
  const auto done = static_cast<std::size_t>(written);
  pending.erase(0, done);
  for (IspPause& pause : pauses) pause.at -= done;
}

}  // namespace qfsim
