// The broker thread (clients in, replies and stream batches out, in request order) and the sync
// worker thread (one request at a time on the device link).
//
// Between the two, over the sync pair: the broker sends each packet frame it forwards; the sync
// worker sends one answer per packet that requires one, as a single multi-part message so that
// it arrives whole or not at all:
//   [SERVER_CMD_DROPPED_PACKET 0 0]                       no reply came (or the put failed)
//   [SERVER_CMD_INCOMING_PACKETS count-hi count-lo][reply frame]...   the replies, in order
// Each answer belongs to the oldest identity in the broker's reply-id FIFO. The sync worker keeps
// that pairing whatever the module sends: it drains the device link's inbound FIFO before each
// request and takes as replies only packets that answer the request (_isReplyTo).
//
// The broker takes every client message at once and queues its requests per client; it sends
// the sync worker the next one only once no answer is owed, one request (or one pooled write)
// of each client in turn, so a client with many requests holds another up by one of them at
// most.
#include <cstring>

#include "common/aByteOrder.h"
#include "common/aDefs.h"
#include "common/aLinkServing.h"
#include "common/aTime.h"
#include "common/aUEI.h"
#include "server/aServer_internal.h"

namespace aServerInternal {

namespace {

constexpr int kPollMs = 1000;
constexpr uint64_t kReplyWaitMs = 2000;

// ---- sync worker ------------------------------------------------------------------------------

void _sendServerCmd_DroppedPacket(zsock_t* socket) {
  const uint8_t command[kServerCommandSize] = {SERVER_CMD_DROPPED_PACKET, 0, 0};
  aZmq_SendWithoutWaiting(socket, command, sizeof command, 0);
}

// The header and every reply as one message; the replies are freed.
void _sendServerCmd_IncomingPackets(zsock_t* socket, std::vector<aPacket*>* replies) {
  const size_t count = replies->size();
  uint8_t command[kServerCommandSize] = {SERVER_CMD_INCOMING_PACKETS};
  aByteOrder_WriteBE16(command + 1, static_cast<uint16_t>(count));
  bool sent = aZmq_SendWithoutWaiting(socket, command, sizeof command, ZFRAME_MORE);
  for (size_t i = 0; i < count; ++i) {
    // Once the first part of a message is taken, ZeroMQ takes the rest.
    zframe_t* frame = sent ? _aPacket_To_zFrame((*replies)[i]) : nullptr;
    const int more = i + 1 < count ? ZFRAME_MORE : 0;
    if (frame && zframe_send(&frame, socket, more | ZFRAME_DONTWAIT) != 0) zframe_destroy(&frame);
    aPacket_Destroy(&(*replies)[i]);
  }
  replies->clear();
}

// The first packet within the wait that answers the request. Whatever else the module sends
// meanwhile (a late answer to a request given up, the answer to a packet that expects none) is
// discarded: taken for this reply, it would shift every later reply onto the wrong client. Once
// the wait is over, packets already queued are still looked through.
aPacket* _awaitReplyTo(aLinkID link, const aPacket* request, uint64_t waitMs) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + waitMs;
  for (uint64_t now = aTime_GetMonotonicMSTicks();; now = aTime_GetMonotonicMSTicks()) {
    aPacket* packet = aLink_AwaitPacket(link, deadline > now ? deadline - now : 0);
    if (!packet) return nullptr;
    if (_isReplyTo(request, packet)) return packet;
    aPacket_Destroy(&packet);
  }
}

// The module's replies to one request: its answer, and more while the last one says more follow.
std::vector<aPacket*> _collectReplies(aLinkID link, const aPacket* request, uint64_t waitMs) {
  std::vector<aPacket*> replies;
  while (aPacket* reply = _awaitReplyTo(link, request, waitMs)) {
    replies.push_back(reply);
    if (!_doesPacketContinue(reply)) break;
  }
  return replies;
}

}  // namespace

bool _syncRequest_Send(aServer* server, aPacket* request) {
  zframe_t* frame = aZmq_ReceiveFrameWithoutWaiting(server->syncWorkerSocket);
  const bool valid = _zFrame_To_aPacket(frame, request);
  zframe_destroy(&frame);
  if (!valid) return false;
  const bool answered = _isResponseRequired(request);
  // Nothing queued before this request answers it.
  aLink_DrainPackets(server->linkId, drainAll, nullptr);
  if (aLink_OfferPacket(server->linkId, request) != aErrNone) {
    if (answered) _sendServerCmd_DroppedPacket(server->syncWorkerSocket);
    return false;
  }
  return answered;
}

void _syncRequest_Answer(aServer* server, const aPacket* request, uint64_t waitMs) {
  std::vector<aPacket*> replies = _collectReplies(server->linkId, request, waitMs);
  if (replies.empty()) _sendServerCmd_DroppedPacket(server->syncWorkerSocket);
  else _sendServerCmd_IncomingPackets(server->syncWorkerSocket, &replies);
}

namespace {

void _serverWorker_syncCommands_syncBackend(aServer* server) {
  aPacket request;
  if (_syncRequest_Send(server, &request)) _syncRequest_Answer(server, &request, kReplyWaitMs);
}

// ---- broker -----------------------------------------------------------------------------------

// The client an answer from the sync worker belongs to, taken off the FIFO with the stream its
// success makes that client hold; false when the answer belongs to a flushed request or nobody
// waits. An empty identity: the server's own request (or a client gone since).
bool _takeAnswerOwner(BrokerState* broker, std::string* identity, std::optional<StreamKey>* holds) {
  if (broker->answersToDiscard > 0) {
    --broker->answersToDiscard;
    return false;
  }
  if (broker->replyIds.empty()) return false;
  *identity = std::move(broker->replyIds.front());
  broker->replyIds.pop_front();
  if (!broker->replyHolds.empty()) {
    *holds = broker->replyHolds.front();
    broker->replyHolds.pop_front();
  }
  return true;
}

// Handles one message from the owner; false when the broker is to stop.
bool _serverWorker_broker_pipe(zsock_t* pipe, BrokerState* broker) {
  zmsg_t* message = zmsg_recv(pipe);
  if (!message) return true;  // interrupted: the message is still there
  const int signal = zmsg_signal(message);
  zmsg_destroy(&message);
  if (signal != kFlushSignal) return false;
  broker->answersToDiscard += static_cast<uint32_t>(broker->replyIds.size());
  broker->replyIds.clear();
  broker->replyHolds.clear();
  return true;
}

zpoller_t* _brokerPoller(zsock_t* pipe, aServer* server) {
  zpoller_t* poller = zpoller_new(pipe, server->syncBrokerSocket, server->frontendMonitor, server->frontend,
                                  server->streamBrokerSocket, nullptr);
  if (poller && server->useBeacon && server->discovery && zpoller_add(poller, server->discovery) != 0)
    zpoller_destroy(&poller);
  return poller;
}

// A stream enable answered with success: [0x5D][0xC1][index without the error bit].
bool _acknowledgesEnable(zmsg_t* replies) {
  zframe_t* first = zmsg_first(replies);
  aPacket reply;
  return first && _zFrame_To_aPacket(first, &reply) && reply.dataSize >= 3 && reply.data[0] == cmdSTREAM &&
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

void _answerClient(aServer* server, BrokerState* broker, const std::string& identity, zmsg_t* replies) {
  if (identity.empty()) return;
  for (zframe_t* reply = zmsg_first(replies); reply; reply = zmsg_next(replies))
    if (_sendToClient(server->frontend, identity, reply) == ClientSend::gone) {
      _releaseClient(server, broker, identity);
      return;
    }
}

}  // namespace

void _serverWorker_broker_sync(aServer* server, BrokerState* broker) {
  zmsg_t* answer = zmsg_recv(server->syncBrokerSocket);
  if (!answer) return;
  zframe_t* header = zmsg_pop(answer);
  std::string identity;
  std::optional<StreamKey> holds;
  const bool owned = _takeAnswerOwner(broker, &identity, &holds);
  const bool replies =
      header && zframe_size(header) == kServerCommandSize && zframe_data(header)[0] == SERVER_CMD_INCOMING_PACKETS;
  if (owned && replies) {
    if (holds && _acknowledgesEnable(answer)) _holdStream(broker, identity, *holds);
    _answerClient(server, broker, identity, answer);
  }
  zframe_destroy(&header);
  zmsg_destroy(&answer);
  _sendQueuedRequests(server, broker);
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
  return !broker->streamHolders.count(_streamKeyOf(&request)) &&
         _forwardRequest(server, broker, &request, std::string());
}

// The parts of a pooled write go before its last packet, the one answered.
void _sendClientRequest(aServer* server, BrokerState* broker, const std::string& identity,
                        const QueuedRequest& request) {
  for (size_t i = 0; i + 1 < request.packets.size(); ++i) _forwardToSyncWorker(server, &request.packets[i]);
  const aPacket& last = request.packets.back();
  if (_isResponseRequired(&last)) _forwardRequest(server, broker, &last, identity, request.holds);
  else _forwardToSyncWorker(server, &last);
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

bool _forwardToSyncWorker(aServer* server, const aPacket* packet) {
  uint8_t bytes[aPACKET_MAX_FRAME];
  size_t length = 0;
  return aPacket_GetBytes(packet, bytes, sizeof bytes, &length) == aErrNone &&
         aZmq_SendWithoutWaiting(server->syncBrokerSocket, bytes, length, 0);
}

bool _forwardRequest(aServer* server, BrokerState* broker, const aPacket* packet, const std::string& identity,
                     std::optional<StreamKey> holds) {
  if (!_forwardToSyncWorker(server, packet)) return false;
  broker->replyIds.push_back(identity);
  broker->replyHolds.push_back(holds);
  return true;
}

bool _awaitsAnswer(const BrokerState* broker) { return !broker->replyIds.empty() || broker->answersToDiscard > 0; }

void _serverWorker_broker(zsock_t* pipe, void* ref) {
  aServer* server = static_cast<aServer*>(ref);
  zsock_signal(pipe, 0);
  zpoller_t* poller = _brokerPoller(pipe, server);
  if (!poller) {
    zsock_signal(pipe, 1);
    return;
  }
  server->publishStart = 0;
  server->publishing = 0;
  BrokerState broker;
  zsock_signal(pipe, 0);
  while (true) {
    _sendQueuedRequests(server, &broker);  // the server's own, after a client went
    void* ready = zpoller_wait(poller, kPollMs);
    if (ready == pipe) {
      if (!_serverWorker_broker_pipe(pipe, &broker)) break;
    } else if (ready == server->syncBrokerSocket) {
      _serverWorker_broker_sync(server, &broker);
    } else if (ready == server->frontendMonitor) {
      _serverWorker_broker_monitor(server, &broker);
    } else if (ready == server->frontend) {
      _serverWorker_broker_frontend(server, &broker);
    } else if (ready == server->streamBrokerSocket) {
      _serverWorker_broker_streaming(server, &broker);
    } else if (ready && ready == server->discovery) {
      _serverWorker_broker_beacon(server);
    } else if (!ready && aZmq_PollEnded(poller)) {
      break;  // the messaging context ends, or the process was interrupted
    }
    _silenceBeaconWhenDue(server);
    _noteClientRecords(server, &broker);
    _returnFreedMemoryWhenDue(&broker);
  }
  zpoller_destroy(&poller);
  zsock_signal(pipe, 0);
}

void _serverWorker_syncCommands(zsock_t* pipe, void* ref) {
  aServer* server = static_cast<aServer*>(ref);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, server->syncWorkerSocket, nullptr);
  if (!poller) {
    zsock_signal(pipe, 1);
    return;
  }
  zsock_signal(pipe, 0);
  while (true) {
    void* ready = zpoller_wait(poller, kPollMs);
    if (ready == pipe) break;  // the owner's stop; the message is left for the actor's end
    if (ready == server->syncWorkerSocket) _serverWorker_syncCommands_syncBackend(server);
    else if (!ready && aZmq_PollEnded(poller)) break;
  }
  zpoller_destroy(&poller);
  zsock_signal(pipe, 0);
}

}  // namespace aServerInternal
