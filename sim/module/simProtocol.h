// What the simulated module does with each packet it receives: synchronisation answers,
// force-route records, heartbeat checks, and a dispatch by command byte for everything sent to
// its own address. Pure logic: no I/O and no locking; a SimSession runs it for whoever moves
// the bytes (see simSession.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sim/module/simFraming.h"

namespace qfsim {

enum class HeartbeatKind : std::uint8_t { up = 0, down = 1 };

// How the first byte of every frame the module sends is spoiled.
enum class FirstByteFault { none, odd, zero };

// Fault knobs; all off by default. They may be changed while the module runs.
struct SimFaults {
  bool silent = false;  // sends nothing at all
  FirstByteFault firstByte = FirstByteFault::none;
  bool wrongSecondSyncAddress = false;  // every second sync answer comes from address + 2
  bool badCrc = false;                  // serial framing only: spoils every frame's CRC
  std::uint32_t closeAfterPackets = 0;  // drops the connection on its Nth packet (0 = never)
  std::uint32_t replyDelayMs = 0;       // holds every outgoing frame this long
};

// One heartbeat answer from the host, checked against the oldest unanswered heartbeat.
struct HeartbeatCheck {
  std::optional<std::uint8_t> sent;  // data[1] of that heartbeat; none when nothing was pending
  std::uint8_t answer = 0;           // data[1] of the answer
  bool ok = false;                   // a heartbeat was pending and answer == sent + 2
};

// Everything the module observed, for tests to assert. Cleared only by SimModule::clearRecord.
struct SimRecord {
  std::vector<SimPacket> packets;    // every packet received, in order
  std::vector<std::uint8_t> routes;  // the on/off byte of each [0xAF][1][x]
  std::uint32_t syncRequests = 0;    // [0xAD][0] packets received
  std::uint32_t heartbeatsSent = 0;
  std::vector<HeartbeatCheck> heartbeatAnswers;
  std::uint32_t connections = 0;    // hosts connected (TCP accepts, terminals opened, ...)
  std::uint32_t framingErrors = 0;  // malformed or corrupt frames received
};

// The module's identity and everything that outlives a connection.
struct SimState {
  std::uint8_t address = 2;
  std::uint8_t model = 4;
  std::uint32_t serialNumber = 0x1A2B3C4D;
  SimFaults faults;
  SimRecord record;
  std::deque<std::uint8_t> pendingHeartbeats;  // data[1] of heartbeats not yet answered
  std::uint32_t syncAnswers = 0;               // sync answers sent, for the alternating fault
  std::uint32_t packetsOnConnection = 0;
};

// Handed to a packet handler for the length of one call.
class SimContext {
 public:
  SimContext(SimState& state, std::vector<SimPacket>& replies) : _state(state), _replies(replies) {}
  SimState& state() { return _state; }
  // Queues a packet to the host; faults, delay and framing are applied on the way out.
  void reply(SimPacket packet) { _replies.push_back(std::move(packet)); }
  // Drops the connection once the replies queued so far are written, as a module that
  // restarts (see SimModule::closeConnection).
  void dropConnection() { _drop = true; }
  bool dropRequested() const { return _drop; }

 private:
  SimState& _state;
  std::vector<SimPacket>& _replies;
  bool _drop = false;
};

// Handles one packet sent to the module's own address whose command byte it was registered for.
// Runs on the module's thread with its state lock held: it must not call back into SimModule.
using SimHandler = std::function<void(SimContext&, const SimPacket&)>;
// Sends what the module says unasked when a host connects (a module that restarted announcing
// itself); same rules as a SimHandler.
using SimGreeting = std::function<void(SimContext&)>;

// Runs at a steady interval while a host is connected (a module that publishes on its own); same
// rules as a SimHandler.
using SimTicker = std::function<void(SimContext&)>;

struct SimRoutedModule;

class SimProtocol {
 public:
  SimProtocol();  // registers the built-in handlers (the system entity's model query)

  void setHandler(std::uint8_t command, SimHandler handler);  // an empty handler removes it
  void setGreeting(SimGreeting greeting);                     // an empty one removes it
  // The packets the greeting sends for a new connection.
  void greet(SimState& state, std::vector<SimPacket>& replies) const;
  // Records the packet and queues whatever the module answers. False when the connection is to
  // drop after the replies: a handler asked for it, or this is the packet closeAfterPackets
  // names (which gets no answer).
  bool handle(SimState& state, const SimPacket& packet, std::vector<SimPacket>& replies) const;
  // A heartbeat to send, remembered for checking its answer.
  static SimPacket makeHeartbeat(SimState& state, HeartbeatKind kind);
  // A connection ended: answers to its heartbeats can no longer come.
  static void connectionEnded(SimState& state);

  // A module behind this one on its I2C bus: packets to its address (other than this module's
  // own) are passed on to it, and it answers them from its own state and handlers. Replaces a
  // routed module of the same address.
  void addRouted(std::shared_ptr<SimRoutedModule> routed);

 private:
  std::map<std::uint8_t, SimHandler> _handlers;
  SimGreeting _greeting;
  std::map<std::uint8_t, std::shared_ptr<SimRoutedModule>> _routed;  // by address
};

// A module reached through a router module: its identity, record and packet handlers.
struct SimRoutedModule {
  SimState state;
  SimProtocol protocol;
};

}  // namespace qfsim
