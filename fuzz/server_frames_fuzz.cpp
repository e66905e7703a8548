// Feeds client frames and module packets to the link sharing server's broker and sync worker
// steps, without threads or waits.
//
// On a server record whose sockets lead nowhere: frame parsing (every accepted packet must give
// back the frame's bytes), stream enabling, the pooling of byte-value writes and the stream
// filter. Checks that a pool only ever holds one value's parts in sequence, bounded by its time
// to live, and that the stream batch never outgrows its buffer.
//
// On a second record whose frontend, two clients and sync pair are joined in-process and whose
// device link is a pair of packet FIFOs: the broker takes each client frame and forwards it, the
// sync worker runs every forwarded request (the module packets of the input arriving after it
// went out, the reply wait 0) and the broker routes the answer. Checks that whatever the module
// sends, a client only ever receives replies to a request of its own, that the answer to a
// request goes to the client that sent it, and that no other client receives anything then.
// The module's packets also pass the stream filter and the broker's fan-out, joined in-process:
// a batch goes out at a heartbeat or past its send level, and reaches every client that enabled
// streams whole, and no other. (Every call into the messaging library is retried when
// libFuzzer's timer interrupts it; see zmq_steps.h.)
//
// Input: records [control][frame length][frame bytes]; bit 0 of control picks one of two
// clients, bit 1 also offers the packet to a stream filter as if the module had sent it (the
// routing server's, for a module packet), bit 2 makes the record a packet the module sends after
// the next request instead of a client frame.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/aLinkRegistry.h"
#include "common/aLink_internal.h"
#include "common/aPacket.h"
#include "common/aUEI.h"
#include "common/packetfifo.h"
#include "fuzz/zmq_steps.h"
#include "server/aInprocPair.h"
#include "server/aServer_internal.h"

using namespace aServerInternal;

namespace {

// One record for every input; its sockets are closed before the messaging library ends.
struct FuzzServer {
  FuzzServer() {
    server.syncBrokerSocket = zsock_new(ZMQ_DEALER);  // never connected: every forward is refused
    server.streamFilterSocket = zsock_new(ZMQ_DEALER);
    server.frontend = zsock_new(ZMQ_ROUTER);
    if (!server.syncBrokerSocket || !server.streamFilterSocket || !server.frontend) std::abort();
  }
  ~FuzzServer() {
    zsock_destroy(&server.syncBrokerSocket);
    zsock_destroy(&server.streamFilterSocket);
    zsock_destroy(&server.frontend);
  }
  aServer server;
};

void _require(bool condition) {
  if (!condition) std::abort();
}

// The broker and sync worker of a server whose device link is two packet FIFOs.
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
    server.syncBrokerSocket = zsock_new(ZMQ_DEALER);
    server.syncWorkerSocket = zsock_new(ZMQ_DEALER);
    server.streamFilterSocket = zsock_new(ZMQ_PAIR);
    server.streamBrokerSocket = zsock_new(ZMQ_PAIR);
    _require(server.frontend && server.syncBrokerSocket && server.syncWorkerSocket && server.streamFilterSocket &&
             server.streamBrokerSocket && zsock_bind(server.frontend, "inproc://fuzz-frontend") == 0 &&
             aInprocPair_Join(server.syncBrokerSocket, server.syncWorkerSocket) &&
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
    zsock_destroy(&server.syncBrokerSocket);
    zsock_destroy(&server.syncWorkerSocket);
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

// What the routing server's clients sent, what the module sends next, and the stream batch the
// module's stream packets make: their frames, sent on at a heartbeat or past the send level.
struct RoutingRun {
  std::vector<aPacket> sentBy[2];
  std::vector<aPacket> moduleSends;
  BrokerState broker;
  std::string batch;
};

// The device link's reader offers the module's packet to the stream filter; a batch it sends on
// reaches every client that enabled streams, whole, and nobody else.
void _streamPacket(RoutingServer* routing, RoutingRun* run, const aPacket& packet) {
  aServer* server = &routing->server;
  const bool stream = aUEI_isStreamPacket(&packet);
  _require(_streamingPacketFilter(&packet, server) == stream);
  if (stream) run->batch.append(reinterpret_cast<const char*>(&packet.address), 1)
                  .append(1, char(packet.dataSize))
                  .append(reinterpret_cast<const char*>(packet.data), packet.dataSize);
  const bool sent = !run->batch.empty() && (aPacket_IsHeartbeat(&packet) || run->batch.size() > kStreamBatchSendLevel);
  _require(fuzzzmq::readable(server->streamBrokerSocket) == sent);
  _require(server->streamBatchLength == (sent ? 0 : run->batch.size()));
  if (!sent) return;
  fuzzzmq::untilTaken(server->streamBrokerSocket, [&] { _serverWorker_broker_streaming(server, &run->broker); });
  const auto& subscribers = run->broker.subscribers;
  for (int c = 0; c < 2; ++c) {
    const bool subscribed = std::find(subscribers.begin(), subscribers.end(), c == 0 ? "A" : "B") != subscribers.end();
    const std::vector<std::string> frames = _framesAt(routing->clients[c]);
    _require(subscribed ? frames.size() == 1 && frames[0] == run->batch : frames.empty());
  }
  run->batch.clear();
}

// Runs every request the broker forwarded, answers it with the module's packets and checks where
// the answer went.
void _runForwarded(RoutingServer* routing, RoutingRun* run) {
  aServer* server = &routing->server;
  while (fuzzzmq::readable(server->syncWorkerSocket)) {
    aPacket request;
    const bool awaitsReplies = _syncRequest_Send(server, &request);
    aPacketFifo_DrainPackets(routing->link->outboundFifo, drainAll, nullptr);
    if (!awaitsReplies) continue;
    for (const aPacket& packet : run->moduleSends) aPacketFifo_Put(routing->link->inboundFifo, &packet);
    run->moduleSends.clear();
    _syncRequest_Answer(server, &request, 0);
    _require(!run->broker.replyIds.empty());  // every awaited request has its client queued
    const int owner = run->broker.replyIds.front() == "A" ? 0 : 1;
    fuzzzmq::untilTaken(server->syncBrokerSocket, [&] { _serverWorker_broker_sync(server, &run->broker); });
    const auto& sent = run->sentBy[owner];
    _require(std::any_of(sent.begin(), sent.end(), [&](const aPacket& p) { return _samePacket(p, request); }));
    for (const aPacket& reply : _receivedBy(routing->clients[owner])) _require(_carriesCommandOf(request, reply));
    _require(_receivedBy(routing->clients[1 - owner]).empty());
  }
}

void _routeClientFrame(RoutingServer* routing, RoutingRun* run, int client, const uint8_t* frame, size_t length,
                       const aPacket& packet) {
  _require(fuzzzmq::sendBytes(routing->clients[client], frame, length));
  run->sentBy[client].push_back(packet);
  fuzzzmq::untilTaken(routing->server.frontend, [&] { _serverWorker_broker_frontend(&routing->server, &run->broker); });
  _runForwarded(routing, run);
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
    if (!_handleSetUEIBytes(server, identity, &packet, &broker) && !_isBlacklistedPacket(&packet))
      _forwardToSyncWorker(server, &packet);
    _checkPools(server);
    if (control & 2) {
      _streamingPacketFilter(&packet, server);
      if (server->streamBatchLength > kStreamBatchSendLevel) std::abort();
    }
  }
  if (broker.subscribers.size() > 2 || !broker.replyIds.empty()) std::abort();  // nothing was forwarded
  return 0;
}
