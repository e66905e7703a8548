// Feeds client frames and module packets to the link sharing server's broker steps, without
// threads or waits.
//
// On a server record whose sockets lead nowhere: frame parsing (every accepted packet must give
// back the frame's bytes), stream enabling, the pooling of byte-value writes and the stream
// filter. Checks that a pool only ever holds one value's parts in sequence, bounded by its time
// to live, and that the stream batch never outgrows its buffer.
//
// On a second record whose frontend, two clients and the reader's reply pair are joined
// in-process and whose device link is a pair of packet FIFOs: the broker takes each client frame
// and either answers it at once (a frame to an address no module can have; a stream disable while
// another client holds that stream) or sends it to the device link; the module packets of the
// input arrive through the device link reader's filter after the request went out, the broker
// takes them, its reply wait runs out at once, and it routes the answer. A
// model kept apart from the server's own state says what each step must give: the answer at once,
// or the forwarded request's owner (the client that sent it, or the server itself for the disable
// of a stream that the goodbye of its last holder leaves unheld). Checks that whatever the module
// sends, every answer goes whole to its owner, that a reply the module sent is never lost, and
// that nothing else ever waits at either client.
// The module's packets also pass the stream filter and the broker's fan-out, joined in-process:
// a batch goes out at a heartbeat or past its send level, and reaches every client that enabled
// streams (at an address a module can have, until its goodbye) whole, and no other. (Every call
// into the messaging library is retried when libFuzzer's timer interrupts it; see zmq_steps.h.)
//
// Input: records [control][frame length][frame bytes]; bit 0 of control picks one of two
// clients, bit 1 also offers the packet to a stream filter as if the module had sent it (the
// routing server's, for a module packet), bit 2 makes the record a packet the module sends after
// the next request instead of a client frame, and bit 3 without bit 2 makes it the client's
// goodbye (an empty frame to the routing server; the frame bytes are skipped).
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/aPacket.h"
#include "common/aUEI.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "common/packetfifo.h"
#include "fuzz/zmq_steps.h"
#include "server/aInprocPair.h"
#include "server/aServer_internal.h"

using namespace aServerInternal;

namespace {

// One record for every input; its sockets are closed before the messaging library ends.
struct FuzzServer {
  FuzzServer() {
    server.replyFilterSocket = zsock_new(ZMQ_DEALER);  // never connected: every hand-over is refused
    server.streamFilterSocket = zsock_new(ZMQ_DEALER);
    server.frontend = zsock_new(ZMQ_ROUTER);
    if (!server.replyFilterSocket || !server.streamFilterSocket || !server.frontend) std::abort();
  }
  ~FuzzServer() {
    zsock_destroy(&server.replyFilterSocket);
    zsock_destroy(&server.streamFilterSocket);
    zsock_destroy(&server.frontend);
  }
  aServer server;
};

void _require(bool condition) {
  if (!condition) std::abort();
}

// The broker of a server whose device link is two packet FIFOs.
struct RoutingServer {
  RoutingServer() {
    // A registered link whose engine never starts: the server reaches it by id, as always.
    server.linkId = sCreate(0x12345678, 0, TCPIP);
    _require(server.linkId != 0);
    aLink& engine = *sGetLink(server.linkId);
    engine.check = aLINK_CHECK;
    engine.inboundFifo = aPacketFifo_Create();
    engine.outboundFifo = aPacketFifo_Create();
    link = &engine;
    server.frontend = zsock_new(ZMQ_ROUTER);
    server.replyBrokerSocket = zsock_new(ZMQ_PAIR);
    server.replyFilterSocket = zsock_new(ZMQ_PAIR);
    server.streamFilterSocket = zsock_new(ZMQ_PAIR);
    server.streamBrokerSocket = zsock_new(ZMQ_PAIR);
    _require(server.frontend && server.replyBrokerSocket && server.replyFilterSocket && server.streamFilterSocket &&
             server.streamBrokerSocket && zsock_bind(server.frontend, "inproc://fuzz-frontend") == 0 &&
             aInprocPair_Join(server.replyBrokerSocket, server.replyFilterSocket) &&
             aInprocPair_Join(server.streamFilterSocket, server.streamBrokerSocket));
    zsock_set_rcvtimeo(server.frontend, 1000);  // a frame sent in-process is there at once
    for (int c = 0; c < 2; ++c) {
      clients[c] = zsock_new(ZMQ_DEALER);
      _require(clients[c] != nullptr);
      zsock_set_identity(clients[c], c == 0 ? "A" : "B");
      _require(zsock_connect(clients[c], "inproc://fuzz-frontend") == 0);
    }
  }
  ~RoutingServer() {
    for (zsock_t*& client : clients) zsock_destroy(&client);
    zsock_destroy(&server.frontend);
    zsock_destroy(&server.replyBrokerSocket);
    zsock_destroy(&server.replyFilterSocket);
    zsock_destroy(&server.streamFilterSocket);
    zsock_destroy(&server.streamBrokerSocket);
    for (std::atomic<aPacketFifoID>* fifo : {&link->inboundFifo, &link->outboundFifo}) {
      aPacketFifoID id = *fifo;
      aPacketFifo_Destroy(&id);
    }
  }
  aLink* link = nullptr;  // the registered link's engine record
  aServer server;
  zsock_t* clients[2] = {};
};

void _checkPools(const aServer* server) {
  for (const SetBytesPool& pool : server->pools) {
    if (pool.packets.empty() || pool.packets.size() > 2001) std::abort();
    uint8_t expected = 0;
    for (const aPacket& part : pool.packets) {
      if (aUEI_getBytesSequence(&part) != expected || !aUEI_getBytesContinue(&part) ||
          std::memcmp(part.data, pool.packets.front().data, 3) != 0)
        std::abort();
      expected = (expected + 1) & UEI_BYTES_SEQUENCE_MASK;
    }
  }
}

aServer* _server() {
  static FuzzServer fuzzServer;
  return &fuzzServer.server;
}

RoutingServer* _routing() {
  static RoutingServer routing;
  return &routing;
}

// Every frame waiting at a client, as bytes.
std::vector<std::string> _framesAt(zsock_t* client) {
  std::vector<std::string> frames;
  while (fuzzzmq::readable(client)) {
    zframe_t* frame = fuzzzmq::receiveFrame(client);
    frames.emplace_back(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
    zframe_destroy(&frame);
  }
  return frames;
}

// Every frame waiting at a client, where only answers can wait: packet frames.
std::vector<aPacket> _receivedBy(zsock_t* client) {
  std::vector<aPacket> packets;
  for (const std::string& frame : _framesAt(client)) {
    aPacket packet;
    _require(_framePacket(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), &packet) &&
             frame.size() == size_t(packet.dataSize) + 2);
    packets.push_back(packet);
  }
  return packets;
}

// A weaker rule than the server's own, kept apart from it: a reply carries its request's command
// byte, and only a request without data gets a reply without data.
bool _carriesCommandOf(const aPacket& request, const aPacket& reply) {
  if (request.dataSize == 0 || reply.dataSize == 0) return request.dataSize == reply.dataSize;
  return reply.data[0] == request.data[0];
}

bool _samePacket(const aPacket& a, const aPacket& b) {
  return a.address == b.address && a.dataSize == b.dataSize && std::memcmp(a.data, b.data, a.dataSize) == 0;
}

std::string _bytesOf(const aPacket& packet) {
  return std::string(1, char(packet.address)) + char(packet.dataSize) +
         std::string(reinterpret_cast<const char*>(packet.data), packet.dataSize);
}

// The model's own rules, written apart from the server's.

// No module answers at an odd address, save the route address and an empty synchronisation
// packet to 0xAD; the server refuses such a frame at once: [address][n][command][24].
bool _refusedAtOnce(const aPacket& packet) {
  if (packet.address == 0xAF) return false;
  if (packet.address == 0xAD) return packet.dataSize != 0;
  return (packet.address & 1) != 0;
}
std::string _refusalBytes(const aPacket& packet) {
  std::string data = packet.dataSize > 0 ? std::string(1, char(packet.data[0])) : std::string();
  data += char(24);
  return std::string(1, char(packet.address)) + char(data.size()) + data;
}

// A stream enable or disable [0x5D][option][index][4 bytes naming the stream].
bool _isStreamSwitch(const aPacket& packet, uint8_t option) {
  return packet.dataSize == 7 && packet.data[0] == 0x5D && packet.data[1] == option;
}
using Stream = std::array<uint8_t, 5>;  // the address the switch went to, then its last 4 bytes
Stream _streamOf(const aPacket& packet) {
  return {packet.address, packet.data[3], packet.data[4], packet.data[5], packet.data[6]};
}
// The module's acknowledgement of an enable: [0x5D][0xC1][index without the error bit].
bool _acknowledgesEnable(const aPacket& reply) {
  return reply.dataSize >= 3 && reply.data[0] == 0x5D && reply.data[1] == 0xC1 && !(reply.data[2] & 0x80);
}

// A module packet that answers the request by any rule: the same command byte and the same
// option (for an entity request the option bits, as an acknowledgement sets the top two; else the
// whole option byte); a request without data: a packet without data.
bool _surelyAnswers(const aPacket& request, const aPacket& packet) {
  if (request.dataSize == 0) return packet.dataSize == 0;
  if (packet.dataSize == 0 || packet.data[0] != request.data[0]) return false;
  if (request.dataSize == 1) return true;
  if (packet.dataSize < 2) return false;
  const uint8_t mask = aUEI_isUEIPayload(&request) ? 0x3F : 0xFF;
  return (packet.data[1] & mask) == (request.data[1] & mask);
}

bool _continues(const aPacket& reply) {
  return aUEI_isUEIPayload(&reply) && aUEI_getBytesFullPacket(&reply) && aUEI_getBytesContinue(&reply);
}

// The replies are the module's own packets in the order it sent them, the first taken each
// time; more follow only a reply that says so, and one that says so is followed by every later
// packet that surely answers (a packet ahead of it answered, it would have been taken first).
// More packets than the FIFO holds empty it, and may take the answer with them.
void _requireNoReplyLost(const aPacket& request, const std::vector<aPacket>& given,
                         const std::vector<aPacket>& replies) {
  if (given.size() > aPACKETFIFO_MAX_ENTRIES) return;
  size_t next = 0;
  for (const aPacket& reply : replies) {
    while (next < given.size() && !_samePacket(given[next], reply)) ++next;
    _require(next < given.size());
    ++next;
  }
  for (size_t i = 0; i + 1 < replies.size(); ++i) _require(_continues(replies[i]));
  if (!replies.empty() && !_continues(replies.back())) return;
  _require(std::none_of(given.begin() + long(next), given.end(),
                        [&](const aPacket& p) { return _surelyAnswers(request, p); }));
}

constexpr int kServerItself = -1;  // the owner of the server's own requests

// What the routing server's clients sent (since they last said goodbye), what the module sends
// next, the stream batch the module's stream packets make (their frames, sent on at a heartbeat
// or past the send level), and the model of the clients' streams: who enabled streams, who holds
// each stream the module acknowledged, and the disables the server owes for streams nobody holds.
struct RoutingRun {
  std::vector<aPacket> sentBy[2];
  std::vector<aPacket> moduleSends;
  BrokerState broker;
  std::string batch;
  bool subscribed[2] = {};
  std::map<Stream, std::set<int>> holders;
  std::vector<Stream> owedDisables;
};

// Nothing waits at either client.
void _requireNothingWaiting(RoutingServer* routing) {
  for (zsock_t* client : routing->clients) _require(!fuzzzmq::readable(client));
}

// The device link's reader offers the module's packet to the stream filter; a batch it sends on
// reaches every client that enabled streams, whole, and nobody else.
void _streamPacket(RoutingServer* routing, RoutingRun* run, const aPacket& packet) {
  aServer* server = &routing->server;
  const bool stream = aUEI_isStreamPacket(&packet);
  // A packet that is neither is handed to the broker as a reply: none is pending, so it is dropped.
  const bool heartbeat = !stream && aPacket_IsHeartbeat(&packet);
  _require(_streamingPacketFilter(&packet, server) == !heartbeat);
  if (!stream && !heartbeat) {
    _require(fuzzzmq::readable(server->replyBrokerSocket));
    fuzzzmq::untilTaken(server->replyBrokerSocket, [&] { _serverWorker_broker_replies(server, &run->broker); });
    _require(!run->broker.pending);
    _requireNothingWaiting(routing);
  }
  if (stream) run->batch.append(_bytesOf(packet));
  const bool sent = !run->batch.empty() && (aPacket_IsHeartbeat(&packet) || run->batch.size() > kStreamBatchSendLevel);
  _require(fuzzzmq::readable(server->streamBrokerSocket) == sent);
  _require(server->streamBatchLength == (sent ? 0 : run->batch.size()));
  if (!sent) return;
  fuzzzmq::untilTaken(server->streamBrokerSocket, [&] { _serverWorker_broker_streaming(server, &run->broker); });
  for (int c = 0; c < 2; ++c) {
    const std::vector<std::string> frames = _framesAt(routing->clients[c]);
    _require(run->subscribed[c] ? frames.size() == 1 && frames[0] == run->batch : frames.empty());
  }
  run->batch.clear();
}

// The request is one its owner may have sent: a packet of the client's, or a disable the server
// owes.
void _requireOwnedBy(RoutingRun* run, int owner, const aPacket& request) {
  if (owner != kServerItself) {
    const auto& sent = run->sentBy[owner];
    _require(std::any_of(sent.begin(), sent.end(), [&](const aPacket& p) { return _samePacket(p, request); }));
    return;
  }
  _require(_isStreamSwitch(request, 0x82));
  const auto owed = std::find(run->owedDisables.begin(), run->owedDisables.end(), _streamOf(request));
  _require(owed != run->owedDisables.end());
  run->owedDisables.erase(owed);
}

// Every packet the broker put on the device link since last asked, oldest first.
std::vector<aPacket> _sentToModule(RoutingServer* routing) {
  std::vector<aPacket> sent;
  while (aPacket* packet = aPacketFifo_Get(routing->link->outboundFifo)) {
    sent.push_back(*packet);
    aPacket_Destroy(&packet);
  }
  return sent;
}

// The module's packets since the request, handed over by the device link's reader as it would
// (the filter keeps stream packets and leaves heartbeats to the link); false for a packet it
// kept. The broker takes them, then its reply wait runs out.
void _moduleAnswers(RoutingServer* routing, RoutingRun* run, const std::vector<aPacket>& given) {
  aServer* server = &routing->server;
  for (const aPacket& packet : given)
    if (!aUEI_isStreamPacket(&packet) && !aPacket_IsHeartbeat(&packet)) _handReplyToBroker(server, &packet);
  if (fuzzzmq::readable(server->replyBrokerSocket))
    fuzzzmq::untilTaken(server->replyBrokerSocket, [&] { _serverWorker_broker_replies(server, &run->broker); });
  _serverWorker_broker_overdue(server, &run->broker, std::numeric_limits<uint64_t>::max());
}

// Runs every request the broker sent the module, answers it with the module's packets and checks
// that the answer went to the expected owner whole, and nowhere else. A pooled write's parts go
// ahead of its last packet unanswered; an enable so pooled makes nobody hold its stream.
void _runForwarded(RoutingServer* routing, RoutingRun* run, int expectedOwner) {
  for (;;) {
    const std::vector<aPacket> sent = _sentToModule(routing);
    if (!run->broker.pending) {
      // Nothing of it expects an answer: a request that does is pending until answered.
      _require(std::none_of(sent.begin(), sent.end(), [](const aPacket& p) { return _isResponseRequired(&p); }));
      if (sent.empty()) return;
      continue;
    }
    _require(!sent.empty());  // every awaited request went to the module
    const aPacket request = sent.back();
    const bool pooled = sent.size() > 1;
    _require(_samePacket(run->broker.pending->request, request));
    const std::string id = run->broker.pending->owner;
    const int owner = id.empty() ? kServerItself : id == "A" ? 0 : 1;
    _require(owner == expectedOwner && (id.empty() || id == "A" || id == "B"));
    _requireOwnedBy(run, owner, request);
    std::vector<aPacket> given;  // the module's packets after the request
    given.swap(run->moduleSends);
    _moduleAnswers(routing, run, given);
    if (owner == kServerItself) {
      _requireNothingWaiting(routing);
      continue;
    }
    // A stream packet or a heartbeat never reaches the broker as a reply.
    std::vector<aPacket> handed;
    std::copy_if(given.begin(), given.end(), std::back_inserter(handed),
                 [](const aPacket& p) { return !aUEI_isStreamPacket(&p) && !aPacket_IsHeartbeat(&p); });
    const std::vector<aPacket> replies = _receivedBy(routing->clients[owner]);
    for (const aPacket& reply : replies) _require(_carriesCommandOf(request, reply));
    _requireNoReplyLost(request, handed, replies);
    _require(_receivedBy(routing->clients[1 - owner]).empty());
    if (!pooled && _isStreamSwitch(request, 0x81) && !replies.empty() && _acknowledgesEnable(replies.front()))
      run->holders[_streamOf(request)].insert(owner);
  }
}

// What the server answers at once to a client's packet, before anything is forwarded (empty:
// nothing), with the model's stream bookkeeping for it.
std::string _answeredAtOnce(RoutingRun* run, int client, const aPacket& packet) {
  if (_refusedAtOnce(packet)) return _refusalBytes(packet);
  if (_isStreamSwitch(packet, 0x81)) run->subscribed[client] = true;
  if (!_isStreamSwitch(packet, 0x82)) return std::string();
  const auto holders = run->holders.find(_streamOf(packet));
  if (holders == run->holders.end()) return std::string();
  holders->second.erase(client);
  if (holders->second.empty()) {
    run->holders.erase(holders);
    return std::string();
  }
  // Another client keeps the stream on; this one hears the module's acknowledgement.
  return std::string{char(packet.address), 3, 0x5D, char(0xC2), 0};
}

void _routeClientFrame(RoutingServer* routing, RoutingRun* run, int client, const uint8_t* frame, size_t length,
                       const aPacket& packet) {
  _require(fuzzzmq::sendBytes(routing->clients[client], frame, length));
  run->sentBy[client].push_back(packet);
  const std::string atOnce = _answeredAtOnce(run, client, packet);
  fuzzzmq::untilTaken(routing->server.frontend, [&] { _serverWorker_broker_frontend(&routing->server, &run->broker); });
  if (!atOnce.empty()) {
    _require(aPacketFifo_GetLength(routing->link->outboundFifo) == 0);  // nothing went to the module
    const std::vector<std::string> frames = _framesAt(routing->clients[client]);
    _require(frames.size() == 1 && frames[0] == atOnce);
  }
  _runForwarded(routing, run, client);
  _requireNothingWaiting(routing);
}

// An empty frame: the client's goodbye. Its streams end for it; a stream nobody holds any more
// is disabled by the server's own request, answered to nobody.
void _sayGoodbye(RoutingServer* routing, RoutingRun* run, int client) {
  _require(fuzzzmq::sendBytes(routing->clients[client], "", 0));
  run->sentBy[client].clear();
  run->subscribed[client] = false;
  for (auto holders = run->holders.begin(); holders != run->holders.end();) {
    if (holders->second.erase(client) && holders->second.empty()) {
      run->owedDisables.push_back(holders->first);
      holders = run->holders.erase(holders);
    } else {
      ++holders;
    }
  }
  fuzzzmq::untilTaken(routing->server.frontend, [&] { _serverWorker_broker_frontend(&routing->server, &run->broker); });
  _runForwarded(routing, run, kServerItself);
  _require(run->owedDisables.empty());  // every owed disable went to the module
  _requireNothingWaiting(routing);
}

void _resetRouting(RoutingServer* routing) {
  routing->server.pools.clear();
  routing->server.streamBatchLength = 0;
  aPacketFifo_DrainPackets(routing->link->inboundFifo, drainAll, nullptr);
  for (zsock_t* client : routing->clients) _framesAt(client);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aServer* server = _server();
  server->pools.clear();
  server->streamBatchLength = 0;
  BrokerState broker;
  const std::string clients[2] = {std::string("\0A", 2), std::string("\0B", 2)};
  RoutingServer* routing = _routing();
  _resetRouting(routing);
  RoutingRun run;
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t control = data[at];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    const uint8_t* frame = data + at + 2;
    at += 2 + length;
    if ((control & 12) == 8) {
      _sayGoodbye(routing, &run, control & 1);
      continue;
    }
    aPacket packet;
    if (!_framePacket(frame, length, &packet)) continue;
    if (control & 4) {
      run.moduleSends.push_back(packet);
      if (control & 2) _streamPacket(routing, &run, packet);
      continue;
    }
    _routeClientFrame(routing, &run, control & 1, frame, length, packet);
    uint8_t back[aPACKET_MAX_FRAME];
    size_t written = 0;
    if (aPacket_GetBytes(&packet, back, sizeof back, &written) != aErrNone || written != size_t(frame[1]) + 2 ||
        std::memcmp(back, frame, written) != 0)
      std::abort();
    const std::string& identity = clients[control & 1];
    _handleStreamEnable(&broker.subscribers, &packet, identity);
    _handleSetUEIBytes(server, identity, &packet, &broker);
    _checkPools(server);
    if (control & 2) {
      _streamingPacketFilter(&packet, server);
      if (server->streamBatchLength > kStreamBatchSendLevel) std::abort();
    }
  }
  // Pools only queue their writes: nothing went to a module.
  if (broker.subscribers.size() > 2 || broker.pending) std::abort();
  return 0;
}
