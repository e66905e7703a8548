// The simulated module's side of a byte channel without the channel: received bytes go in, the
// frames it sends come out as bytes, and its timers (late replies, periodic heartbeats) run on
// the owner's clock. The owner moves the bytes (a socket, a terminal, a fake USB device) and
// says when a host connects and when the connection ends.
//
// No I/O, no lock, no thread: the owner calls it from one thread at a time (for instance under
// its own lock). The state (identity, faults, record) outlives connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "sim/module/simFraming.h"
#include "sim/module/simProtocol.h"

namespace qfsim {

class SimSession {
 public:
  using Clock = std::chrono::steady_clock;

  SimSession(SimState state, std::unique_ptr<SimFramer> framer);

  SimState& state() { return _state; }
  const SimState& state() const { return _state; }
  SimProtocol& protocol() { return _protocol; }

  // A host is there from now on: counted as a connection, framing starts afresh and so does the
  // heartbeat period.
  void connect(Clock::time_point now);
  // The connection ended: unsent output, late frames and unanswered heartbeats are forgotten.
  void disconnect();
  bool connected() const { return _connected; }

  // Takes bytes from the host. False when the connection is to drop once the output queued so
  // far is written (a handler asked for it, or the closeAfterPackets fault); bytes after the
  // packet that asked for it are not looked at.
  bool receive(const std::uint8_t* bytes, std::size_t length, Clock::time_point now);
  // Sends [address][2][0][kind] unless silent or nobody is connected.
  void sendHeartbeat(HeartbeatKind kind, Clock::time_point now);
  // Up heartbeats every interval while connected; 0 turns them off. The period restarts now.
  void setHeartbeatInterval(std::chrono::milliseconds interval, Clock::time_point now);
  // Runs the ticker every interval while connected (0 or an empty ticker: never); the period
  // restarts now.
  void setTicker(std::chrono::milliseconds interval, SimTicker ticker, Clock::time_point now);
  void setTickInterval(std::chrono::milliseconds interval, Clock::time_point now);
  // Moves the late frames that are due to the output, sends the periodic heartbeat and runs the
  // ticker when due.
  void advance(Clock::time_point now);
  // When advance has work next; none while nothing is scheduled.
  std::optional<Clock::time_point> nextDue() const;

  // The bytes to send, in order; the owner erases what it has written. Bytes beyond a cap are
  // dropped frame by frame, so a host that never reads costs frames, not memory.
  std::vector<std::uint8_t>& output() { return _output; }

 private:
  struct LateFrame {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
  };

  void _emit(SimPacket packet, Clock::time_point now);
  void _queue(const std::vector<std::uint8_t>& bytes);

  SimState _state;
  SimProtocol _protocol;
  std::unique_ptr<SimFramer> _framer;
  bool _connected = false;
  std::vector<std::uint8_t> _output;
  std::deque<LateFrame> _late;  // ordered by due time
  std::chrono::milliseconds _heartbeatInterval{0};
  Clock::time_point _nextHeartbeat;
  SimTicker _ticker;
  std::chrono::milliseconds _tickInterval{0};
  Clock::time_point _nextTick;

  bool _ticking() const { return _ticker && _tickInterval.count() > 0 && _connected; }
  void _tick(Clock::time_point now);
};

}  // namespace qfsim
