// The broker thread: clients in, requests out to the device link one at a time, the module's
// replies back to the client that asked, stream batches out to the clients that enabled streams.
//
// A request goes to the device link from the broker's own thread (written at once when the
// link is idle, else queued for its writer). While it awaits the answer and its own sockets are
// quiet, the broker reads the device link's stream itself, in short slices, so that the reply
// reaches it without waking the link's reader thread; the link's filter then runs on the
// broker's thread. Whoever runs the filter hands every module packet that is neither a stream
// packet nor a heartbeat to the broker, over an in-process pair; the broker takes as replies only packets that answer
// the pending request (_isReplyTo), each within kReplyWaitMs of the last, and drops whatever the module sends
// meanwhile: taken for a reply, such a packet (a late answer to a request given up, the answer to a packet that expects
// none) would shift every later reply onto the wrong client. Packets handed over before a request goes are dropped
// unread.
//
// The broker takes every client message at once and queues its requests per client; it sends
// the next one only once no answer is owed, one request (or one pooled write) of each client in
// turn, so a client with many requests holds another up by one of them at most.
#include <cstring>
#include <limits>

#include "common/aDefs.h"
#include "common/aLinkServing.h"
#include "common/aTime.h"
#include "common/aUEI.h"
#include "server/aServer_internal.h"
#include "server/aZmqWatch.h"

namespace aServerInternal {

namespace {

constexpr int kPollMs = 1000;
// While a request awaits its answer, the broker waits for the module in the device link's stream
// in slices of this length, looking at its own sockets between them.
constexpr int kDeviceReadSliceMs = 1;

// Handles one message from the owner; false when the broker is to stop. A flush leaves the
// pending request to finish (its replies are still the module's answer to it), for nobody.
bool _serverWorker_broker_pipe(zsock_t* pipe, BrokerState* broker) {
  zmsg_t* message = zmsg_recv(pipe);
  if (!message) return true;  // interrupted: the message is still there
  const int signal = zmsg_signal(message);
  zmsg_destroy(&message);
  if (signal != kFlushSignal) return false;
  if (broker->pending) broker->pending->discarded = true;
  return true;
}

// The broker's sockets, in the order they are looked at. The frontend, which every step may
// send on, and the beacon actor, told to stop publishing, are asked on every look.
bool _watchBrokerSockets(zsock_t* pipe, aServer* server, aZmqWatch* watch) {
  const bool watched =
      watch->add(zsock_resolve(pipe), false) && watch->add(zsock_resolve(server->replyBrokerSocket), false) &&
      watch->add(zsock_resolve(server->frontendMonitor), false) && watch->add(zsock_resolve(server->frontend), true) &&
      watch->add(zsock_resolve(server->streamBrokerSocket), false);
  return watched && (!server->useBeacon || !server->discovery || watch->add(zsock_resolve(server->discovery), true));
}

// A stream enable answered with success: [0x5D][0xC1][index without the error bit].
bool _acknowledgesEnable(const std::vector<aPacket>& replies) {
  if (replies.empty()) return false;
  const aPacket& reply = replies.front();
  return reply.dataSize >= 3 && reply.data[0] == cmdSTREAM &&
         reply.data[1] == ((streamOPTION_ENABLE & UEI_OPTION_MASK) | UEI_ACK) && !(reply.data[2] & UEI_INDEX_ERROR);
}

// A stream its enabling client holds from now on; one whose client has gone meanwhile is
// disabled again.
void _holdStream(BrokerState* broker, const std::string& identity, const StreamKey& key) {
  if (!identity.empty()) {
    broker->streamHolders[key].insert(identity);
  } else if (!broker->streamHolders.count(key)) {
    broker->ownRequests.push_back(_streamDisableFor(key));
  }
}

void _answerClient(aServer* server, BrokerState* broker, const std::string& identity,
                   const std::vector<aPacket>& replies) {
  if (identity.empty()) return;
  for (const aPacket& reply : replies) {
    zframe_t* frame = _aPacket_To_zFrame(&reply);
    const ClientSend sent = frame ? _sendToClient(server->frontend, identity, frame) : ClientSend::refused;
    zframe_destroy(&frame);
    if (sent == ClientSend::gone) {
      _releaseClient(server, broker, identity);
      return;
    }
  }
}

// The pending request is over: its replies (none: nothing) go to its owner.
void _finishPending(aServer* server, BrokerState* broker) {
  PendingRequest done = std::move(*broker->pending);
  broker->pending.reset();
  if (done.discarded || done.replies.empty()) return;
  if (done.holds && _acknowledgesEnable(done.replies)) _holdStream(broker, done.owner, *done.holds);
  _answerClient(server, broker, done.owner, done.replies);
}

// One module packet: a reply to the pending request, or dropped.
void _takeModulePacket(aServer* server, BrokerState* broker, const aPacket* packet) {
  PendingRequest* pending = broker->pending ? &*broker->pending : nullptr;
  if (!pending || !_isReplyTo(&pending->request, packet)) return;
  pending->replies.push_back(*packet);
  if (!_doesPacketContinue(packet)) return _finishPending(server, broker);
  pending->deadlineMs = aTime_GetMonotonicMSTicks() + kReplyWaitMs;
}

// Takes the next frame the device link's reader handed over; false when none waits. *valid
// tells whether it held a packet (it always does: the reader sends only packets).
bool _takeHandedPacket(aServer* server, aPacket* packet, bool* valid) {
  zmq_msg_t part;
  zmq_msg_init(&part);
  const bool taken = aZmq_ReceivePart(zsock_resolve(server->replyBrokerSocket), &part);
  *valid = taken && _framePacket(static_cast<const uint8_t*>(zmq_msg_data(&part)), zmq_msg_size(&part), packet);
  zmq_msg_close(&part);
  return taken;
}

// What the reader handed over before a request goes cannot answer it.
void _dropHandedPackets(aServer* server) {
  aPacket packet;
  bool valid = false;
  while (_takeHandedPacket(server, &packet, &valid)) {
  }
  // Nor can anything the device link queued itself (nothing should: the filter takes it all).
  aLink_DrainPackets(server->linkId, drainAll, nullptr);
}

// Where the device link's filter puts the module packets it hands over while the broker itself
// reads the link (null on every other thread, and on the broker's at other times): no pair
// between them then.
thread_local std::vector<aPacket>* tHandedOnThisThread = nullptr;

// Every packet the device link's reader thread handed over on the reply pair, in order.
void _takeRepliesHandedOver(aServer* server, BrokerState* broker) {
  aPacket packet;
  bool valid = false;
  while (_takeHandedPacket(server, &packet, &valid))
    if (valid) _takeModulePacket(server, broker, &packet);
}

// What the broker's own read of the device link came to: not read (the stream was not free, or
// the link is not in step: the reader thread hands over), read with nothing handed over, or
// module packets handed over on the broker's thread, taken already.
enum class DeviceRead { notRead, read, took };

// While a request awaits its answer and the broker's sockets are quiet, the broker reads the
// device link's stream itself for up to a slice: the module's reply then reaches it through the
// link's filter on its own thread, without waking the link's reader thread. Packets the reader
// thread handed over before are taken first.
DeviceRead _readDeviceLinkWhilePending(aServer* server, BrokerState* broker) {
  if (!broker->pending) return DeviceRead::notRead;
  const int slice = _brokerWaitMs(broker, aTime_GetMonotonicMSTicks(), kDeviceReadSliceMs);
  tHandedOnThisThread = &broker->handedHere;
  const aErr read = aLink_ReadDelivering(server->linkId, static_cast<uint32_t>(slice));
  tHandedOnThisThread = nullptr;
  if (broker->handedHere.empty()) return read == aErrNone ? DeviceRead::read : DeviceRead::notRead;
  _takeRepliesHandedOver(server, broker);
  for (const aPacket& packet : broker->handedHere) _takeModulePacket(server, broker, &packet);
  broker->handedHere.clear();
  return DeviceRead::took;
}

}  // namespace

void _serverWorker_broker_replies(aServer* server, BrokerState* broker) {
  // Every packet waiting is looked at before the next request goes: those after the answer
  // came before that request.
  _takeRepliesHandedOver(server, broker);
  _sendQueuedRequests(server, broker);
}

void _serverWorker_broker_overdue(aServer* server, BrokerState* broker, uint64_t nowMs) {
  if (!broker->pending || nowMs < broker->pending->deadlineMs) return;
  _finishPending(server, broker);
  _sendQueuedRequests(server, broker);
}

int _brokerWaitMs(const BrokerState* broker, uint64_t nowMs, int maxMs) {
  if (!broker->pending) return maxMs;
  const uint64_t deadline = broker->pending->deadlineMs;
  if (deadline <= nowMs) return 0;
  // A millisecond late rather than early: woken before the deadline, it would sleep again.
  return static_cast<int>(std::min<uint64_t>(deadline - nowMs + 1, static_cast<uint64_t>(maxMs)));
}

void _serverWorker_broker_frontend(aServer* server, BrokerState* broker) {
  _takeClientPacket(server, broker);
  _sendQueuedRequests(server, broker);
}

namespace {

// A request of the server's own that still has a reason: a disable of a stream that nobody
// enabled again meanwhile.
bool _sendOwnRequest(aServer* server, BrokerState* broker) {
  const aPacket request = broker->ownRequests.front();
  broker->ownRequests.pop_front();
  return !broker->streamHolders.count(_streamKeyOf(&request)) && _sendRequest(server, broker, &request, std::string());
}

// The parts of a pooled write go before its last packet, the one answered.
void _sendClientRequest(aServer* server, BrokerState* broker, const std::string& identity,
                        const QueuedRequest& request) {
  for (size_t i = 0; i + 1 < request.packets.size(); ++i) _sendToModule(server, &request.packets[i]);
  const aPacket& last = request.packets.back();
  if (_isResponseRequired(&last)) _sendRequest(server, broker, &last, identity, request.holds);
  else _sendToModule(server, &last);
}

}  // namespace

void _queueRequest(BrokerState* broker, const std::string& identity, QueuedRequest request) {
  ClientRecord& client = broker->clients[identity];
  if (request.packets.empty() || client.requests.size() >= kMaxQueuedRequests) return;
  if (client.requests.empty()) {
    // A client that was just served waits for its next turn behind one that comes now.
    const bool behindLastServed = !broker->turns.empty() && broker->turns.back() == broker->requeued;
    broker->turns.insert(behindLastServed ? broker->turns.end() - 1 : broker->turns.end(), identity);
  }
  client.requests.push_back(std::move(request));
  ++broker->queuedRequests;
}

void _sendQueuedRequests(aServer* server, BrokerState* broker) {
  while (!_awaitsAnswer(broker)) {
    if (!broker->ownRequests.empty()) {
      _sendOwnRequest(server, broker);
      continue;
    }
    if (broker->turns.empty()) return;
    const std::string identity = std::move(broker->turns.front());
    broker->turns.pop_front();
    const auto client = broker->clients.find(identity);
    if (client == broker->clients.end() || client->second.requests.empty()) continue;
    const QueuedRequest request = std::move(client->second.requests.front());
    client->second.requests.pop_front();
    --broker->queuedRequests;
    broker->requeued.clear();
    if (!client->second.requests.empty()) {  // its next turn
      broker->turns.push_back(identity);
      broker->requeued = identity;
    }
    _sendClientRequest(server, broker, identity, request);
  }
}

void _takeClientPacket(aServer* server, BrokerState* broker) {
  ClientMessage message;
  if (!_takeClientMessage(server->frontend, &message)) return;
  // Connections opened or closed before this message came are known before it is taken.
  if (server->frontendMonitor) _serverWorker_broker_monitor(server, broker);
  if (message.hasContent && message.content.empty()) {  // a client's goodbye
    _releaseClient(server, broker, message.identity);
    return;
  }
  if (!_noteClient(broker, message.identity, message.fd)) {  // its connection has closed
    broker->trimDue = true;
    return;
  }
  aPacket packet;
  if (!_framePacket(message.content.data(), message.content.size(), &packet)) return;
  const std::string& identity = message.identity;
  if (!_mayBeModuleAddress(&packet)) {
    const aPacket refusal = _refusalOf(&packet);
    _answerWithPacket(server, broker, identity, &refusal);
    return;
  }
  std::optional<StreamKey> holds;
  if (_handleStreamRequest(server, broker, identity, &packet, &holds)) return;
  if (_handleSetUEIBytes(server, identity, &packet, broker) || _isBlacklistedPacket(&packet)) return;
  _queueRequest(broker, identity, QueuedRequest{{packet}, holds});
}

void _answerWithPacket(aServer* server, BrokerState* broker, const std::string& identity, const aPacket* packet) {
  zframe_t* frame = _aPacket_To_zFrame(packet);
  if (frame && _sendToClient(server->frontend, identity, frame) == ClientSend::gone)
    _releaseClient(server, broker, identity);
  zframe_destroy(&frame);
}

bool _sendToModule(aServer* server, const aPacket* packet) {
  return aLink_OfferPacket(server->linkId, packet) == aErrNone;
}

bool _sendRequest(aServer* server, BrokerState* broker, const aPacket* packet, const std::string& identity,
                  std::optional<StreamKey> holds) {
  _dropHandedPackets(server);
  if (!_sendToModule(server, packet)) return false;  // its owner gets no answer
  broker->pending.emplace();
  PendingRequest& pending = *broker->pending;
  pending.request = *packet;
  pending.owner = identity;
  pending.holds = holds;
  pending.deadlineMs = aTime_GetMonotonicMSTicks() + kReplyWaitMs;
  return true;
}

bool _awaitsAnswer(const BrokerState* broker) { return broker->pending.has_value(); }

void _handReplyToBroker(aServer* server, const aPacket* packet) {
  if (tHandedOnThisThread) {  // the broker reads the device link on this thread
    tHandedOnThisThread->push_back(*packet);
    return;
  }
  uint8_t bytes[aPACKET_MAX_FRAME];
  size_t length = 0;
  if (server->replyFilterSocket && aPacket_GetBytes(packet, bytes, sizeof bytes, &length) == aErrNone)
    aZmq_SendWithoutWaiting(server->replyFilterSocket, bytes, length, 0);
}

void _serverWorker_broker(zsock_t* pipe, void* ref) {
  aServer* server = static_cast<aServer*>(ref);
  zsock_signal(pipe, 0);
  aZmqWatch watch;
  if (!_watchBrokerSockets(pipe, server, &watch)) {
    zsock_signal(pipe, 1);
    return;
  }
  void* const pipeSocket = zsock_resolve(pipe);
  void* const replies = zsock_resolve(server->replyBrokerSocket);
  void* const monitor = zsock_resolve(server->frontendMonitor);
  void* const frontend = zsock_resolve(server->frontend);
  void* const streams = zsock_resolve(server->streamBrokerSocket);
  server->publishStart = 0;
  server->publishing = 0;
  BrokerState broker;
  zsock_signal(pipe, 0);
  bool socketsQuiet = true;  // the last look at the sockets found nothing ready
  while (true) {
    _sendQueuedRequests(server, &broker);  // the server's own, after a client went
    // While an answer is owed, the broker looks at its sockets without waiting in them; once
    // they are quiet it waits in the device link's stream instead, where it may. Packets it took
    // there are dealt with already: the sockets are looked at on the next turn.
    const bool owed = _awaitsAnswer(&broker);
    const DeviceRead device = owed && socketsQuiet ? _readDeviceLinkWhilePending(server, &broker) : DeviceRead::notRead;
    const bool took = device == DeviceRead::took;
    const bool lookOnly = owed && (!socketsQuiet || device == DeviceRead::read);
    void* ready =
        took ? nullptr : watch.wait(lookOnly ? 0 : _brokerWaitMs(&broker, aTime_GetMonotonicMSTicks(), kPollMs));
    socketsQuiet = !took && !ready;
    if (ready == pipeSocket) {
      if (!_serverWorker_broker_pipe(pipe, &broker)) break;
    } else if (ready == replies) {
      _serverWorker_broker_replies(server, &broker);
    } else if (ready == monitor) {
      _serverWorker_broker_monitor(server, &broker);
    } else if (ready == frontend) {
      _serverWorker_broker_frontend(server, &broker);
    } else if (ready == streams) {
      _serverWorker_broker_streaming(server, &broker);
    } else if (ready && server->discovery && ready == zsock_resolve(server->discovery)) {
      _serverWorker_broker_beacon(server);
    } else if (!ready && !took && watch.ended()) {
      break;  // the messaging context ends, or the process was interrupted
    }
    // A request that went just now is seldom answered yet: the broker waits in the device link
    // at once; whatever else came meanwhile waits in its sockets for the answer (or a slice).
    if (!owed && _awaitsAnswer(&broker)) socketsQuiet = true;
    _serverWorker_broker_overdue(server, &broker, aTime_GetMonotonicMSTicks());
    _silenceBeaconWhenDue(server);
    _noteClientRecords(server, &broker);
    _returnFreedMemoryWhenDue(&broker);
  }
  zsock_signal(pipe, 0);
}

}  // namespace aServerInternal
