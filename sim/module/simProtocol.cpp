#include "sim/module/simProtocol.h"

namespace qfsim {

namespace {

constexpr std::uint8_t _kCmdSystem = 0x03;
constexpr std::size_t _kMaxPendingHeartbeats = 64;  // nobody answering must not grow memory

// The system entity. Only the model query (get of option 8, index 0) is known so far.
void _answerSystem(SimContext& context, const SimPacket& request) {
  const std::vector<std::uint8_t> modelQuery{_kCmdSystem, 0x48, 0x20};
  if (request.data != modelQuery) return;
  SimState& state = context.state();
  context.reply(SimPacket{state.address, {_kCmdSystem, 0x08, 0x00, state.model}});
}

std::uint8_t _wrongAddress(std::uint8_t address) {
  auto other = static_cast<std::uint8_t>((address + 2) & 0xFE);
  return other == 0 ? 2 : other;
}

SimPacket _syncAnswer(SimState& state) {
  bool second = (state.syncAnswers++ % 2) == 1;
  bool spoil = second && state.faults.wrongSecondSyncAddress;
  return SimPacket{spoil ? _wrongAddress(state.address) : state.address, {}};
}

void _checkHeartbeatAnswer(SimState& state, std::uint8_t answer) {
  HeartbeatCheck check;
  check.answer = answer;
  if (!state.pendingHeartbeats.empty()) {
    check.sent = state.pendingHeartbeats.front();
    state.pendingHeartbeats.pop_front();
    check.ok = answer == static_cast<std::uint8_t>(*check.sent + 2);
  }
  state.record.heartbeatAnswers.push_back(check);
}

}  // namespace

SimProtocol::SimProtocol() { _handlers[_kCmdSystem] = _answerSystem; }

void SimProtocol::setHandler(std::uint8_t command, SimHandler handler) {
  if (handler) _handlers[command] = std::move(handler);
  else _handlers.erase(command);
}

void SimProtocol::setGreeting(SimGreeting greeting) { _greeting = std::move(greeting); }

void SimProtocol::greet(SimState& state, std::vector<SimPacket>& replies) const {
  if (!_greeting) return;
  SimContext context(state, replies);
  _greeting(context);
}

bool SimProtocol::handle(SimState& state, const SimPacket& packet, std::vector<SimPacket>& replies) const {
  state.record.packets.push_back(packet);
  ++state.packetsOnConnection;
  if (state.faults.closeAfterPackets != 0 && state.packetsOnConnection >= state.faults.closeAfterPackets) return false;

  if (packet.address == kMagicAddress) {
    if (!packet.data.empty()) return true;
    ++state.record.syncRequests;
    replies.push_back(_syncAnswer(state));
    return true;
  }
  if (packet.address == kForceRouteAddress) {
    if (packet.data.size() == 1) state.record.routes.push_back(packet.data[0]);
    return true;
  }
  if (packet.address != state.address) {
    auto routed = _routed.find(packet.address);
    if (routed == _routed.end()) return true;
    return routed->second->protocol.handle(routed->second->state, packet, replies);
  }
  if (packet.data.empty()) return true;
  if (packet.data.size() == 2 && packet.data[0] == 0x00) {
    _checkHeartbeatAnswer(state, packet.data[1]);
    return true;
  }
  auto handler = _handlers.find(packet.data[0]);
  if (handler != _handlers.end()) {
    SimContext context(state, replies);
    handler->second(context, packet);
    return !context.dropRequested();
  }
  return true;
}

void SimProtocol::addRouted(std::shared_ptr<SimRoutedModule> routed) {
  if (routed) _routed[routed->state.address] = std::move(routed);
}

SimPacket SimProtocol::makeHeartbeat(SimState& state, HeartbeatKind kind) {
  auto value = static_cast<std::uint8_t>(kind);
  if (state.pendingHeartbeats.size() == _kMaxPendingHeartbeats) state.pendingHeartbeats.pop_front();
  state.pendingHeartbeats.push_back(value);
  ++state.record.heartbeatsSent;
  return SimPacket{state.address, {0x00, value}};
}

void SimProtocol::connectionEnded(SimState& state) {
  state.pendingHeartbeats.clear();
  state.packetsOnConnection = 0;
}

}  // namespace qfsim
