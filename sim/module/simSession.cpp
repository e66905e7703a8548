#include "sim/module/simSession.h"

#include <algorithm>

namespace qfsim {

namespace {

constexpr std::size_t _kOutputCap = 64 * 1024;

}  // namespace

SimSession::SimSession(SimState state, std::unique_ptr<SimFramer> framer)
    : _state(std::move(state)), _framer(std::move(framer)) {}

void SimSession::connect(Clock::time_point now) {
  ++_state.record.connections;
  _connected = true;
  _framer->reset();
  _nextHeartbeat = now + _heartbeatInterval;
  _nextTick = now + _tickInterval;
  std::vector<SimPacket> greeting;
  _protocol.greet(_state, greeting);
  for (SimPacket& packet : greeting) _emit(std::move(packet), now);
}

void SimSession::disconnect() {
  _connected = false;
  _framer->reset();
  _output.clear();
  _late.clear();
  SimProtocol::connectionEnded(_state);
}

bool SimSession::receive(const std::uint8_t* bytes, std::size_t length, Clock::time_point now) {
  std::vector<SimPacket> packets;
  std::size_t errorsBefore = _framer->framingErrors();
  _framer->feed(bytes, length, packets);
  _state.record.framingErrors += static_cast<std::uint32_t>(_framer->framingErrors() - errorsBefore);
  for (const SimPacket& packet : packets) {
    std::vector<SimPacket> replies;
    bool keep = _protocol.handle(_state, packet, replies);
    for (SimPacket& reply : replies) _emit(std::move(reply), now);
    if (!keep) return false;
  }
  return true;
}

void SimSession::sendHeartbeat(HeartbeatKind kind, Clock::time_point now) {
  if (_state.faults.silent || !_connected) return;
  _emit(SimProtocol::makeHeartbeat(_state, kind), now);
}

void SimSession::setHeartbeatInterval(std::chrono::milliseconds interval, Clock::time_point now) {
  _heartbeatInterval = interval;
  _nextHeartbeat = now + interval;
}

void SimSession::setTicker(std::chrono::milliseconds interval, SimTicker ticker, Clock::time_point now) {
  _ticker = std::move(ticker);
  setTickInterval(interval, now);
}

void SimSession::setTickInterval(std::chrono::milliseconds interval, Clock::time_point now) {
  _tickInterval = interval;
  _nextTick = now + interval;
}

void SimSession::_tick(Clock::time_point now) {
  std::vector<SimPacket> packets;
  SimContext context(_state, packets);
  _ticker(context);
  for (SimPacket& packet : packets) _emit(std::move(packet), now);
  // A late host does not get a burst of the ticks it missed.
  _nextTick = std::max(_nextTick + _tickInterval, now);
}

void SimSession::advance(Clock::time_point now) {
  while (!_late.empty() && _late.front().due <= now) {
    _queue(_late.front().bytes);
    _late.pop_front();
  }
  if (_heartbeatInterval.count() > 0 && _connected && now >= _nextHeartbeat) {
    sendHeartbeat(HeartbeatKind::up, now);
    _nextHeartbeat = now + _heartbeatInterval;
  }
  if (_ticking() && now >= _nextTick) _tick(now);
}

std::optional<SimSession::Clock::time_point> SimSession::nextDue() const {
  std::optional<Clock::time_point> due;
  if (!_late.empty()) due = _late.front().due;
  if (_heartbeatInterval.count() > 0 && _connected) due = due ? std::min(*due, _nextHeartbeat) : _nextHeartbeat;
  if (_ticking()) due = due ? std::min(*due, _nextTick) : _nextTick;
  return due;
}

void SimSession::_emit(SimPacket packet, Clock::time_point now) {
  const SimFaults& faults = _state.faults;
  if (faults.silent || !_connected) return;
  if (faults.firstByte == FirstByteFault::odd) packet.address |= 1;
  if (faults.firstByte == FirstByteFault::zero) packet.address = 0;
  std::vector<std::uint8_t> bytes = _framer->frame(packet, faults.badCrc);
  if (faults.replyDelayMs == 0) {
    _queue(bytes);
    return;
  }
  LateFrame frame{now + std::chrono::milliseconds(faults.replyDelayMs), std::move(bytes)};
  auto after = std::upper_bound(_late.begin(), _late.end(), frame.due,
                                [](Clock::time_point due, const LateFrame& other) { return due < other.due; });
  _late.insert(after, std::move(frame));
}

void SimSession::_queue(const std::vector<std::uint8_t>& bytes) {
  if (_output.size() + bytes.size() <= _kOutputCap) _output.insert(_output.end(), bytes.begin(), bytes.end());
}

}  // namespace qfsim
