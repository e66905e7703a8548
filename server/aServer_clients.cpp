// The broker's records of its clients, and their release when a client goes.
//
// A ROUTER socket tells nobody that a client has gone. The frontend's monitor reports every TCP
// connection that opens and closes, with its socket number, and every message carries the
// number of the socket it came on; a closed connection releases the clients heard on it. Socket
// numbers are reused, so each number counts its connections: a client is released by the close
// of the connection it was heard on or of a later one on that number, never by an earlier one.
// Clients of this process (in-process transport, no socket) are released when they say goodbye
// (an empty frame) or when a message to them finds them gone.
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/aTime.h"
#include "server/aServer_internal.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace aServerInternal {

namespace {

constexpr uint64_t kTrimIntervalMs = 1000;

// A monitor event: [event (16 bits, host order)][value (32 bits)], then the endpoint.
bool _takeMonitorEvent(void* monitor, uint16_t* event, int32_t* value) {
  zmq_msg_t part;
  zmq_msg_init(&part);
  if (!aZmq_ReceivePart(monitor, &part)) {
    zmq_msg_close(&part);
    return false;
  }
  const bool complete = zmq_msg_size(&part) >= 6;
  if (complete) {
    std::memcpy(event, zmq_msg_data(&part), sizeof *event);
    std::memcpy(value, static_cast<const uint8_t*>(zmq_msg_data(&part)) + 2, sizeof *value);
  }
  while (zmq_msg_more(&part)) {
    zmq_msg_close(&part);
    zmq_msg_init(&part);
    if (!aZmq_ReceivePart(monitor, &part)) break;
  }
  zmq_msg_close(&part);
  return true;
}

void _connectionOpened(BrokerState* broker, int fd) {
  ConnectionSlot& slot = broker->connectionSlots[fd];
  ++slot.connections;
  slot.open = true;
}

void _connectionClosed(aServer* server, BrokerState* broker, int fd) {
  ConnectionSlot& slot = broker->connectionSlots[fd];
  slot.open = false;
  broker->trimDue = true;  // the connection's buffers, and its messages as they are dropped
  std::vector<std::string> gone;
  for (const auto& [identity, record] : broker->clients)
    if (record.fd == fd && record.connection <= slot.connections) gone.push_back(identity);
  for (const std::string& identity : gone) _releaseClient(server, broker, identity);
}

}  // namespace

bool _takeClientMessage(zsock_t* frontend, ClientMessage* message) {
  void* socket = zsock_resolve(frontend);
  zmq_msg_t part;
  zmq_msg_init(&part);
  if (!aZmq_ReceivePart(socket, &part)) {
    zmq_msg_close(&part);
    return false;
  }
  message->identity.assign(static_cast<const char*>(zmq_msg_data(&part)), zmq_msg_size(&part));
  message->content.clear();
  message->hasContent = false;
  while (zmq_msg_more(&part)) {
    zmq_msg_close(&part);
    zmq_msg_init(&part);
    if (!aZmq_ReceivePart(socket, &part)) break;
    if (message->hasContent) continue;  // a client sends one frame per message: the rest is dropped
    const auto* data = static_cast<const uint8_t*>(zmq_msg_data(&part));
    message->content.assign(data, data + zmq_msg_size(&part));
    // The identity part carries no socket number when a poll fetched the message ahead.
    message->fd = zmq_msg_get(&part, ZMQ_SRCFD);
    message->hasContent = true;
  }
  zmq_msg_close(&part);
  return true;
}

ClientRecord* _noteClient(BrokerState* broker, const std::string& identity, int fd) {
  uint64_t connection = 0;
  if (fd >= 0) {
    // A socket number the monitor has not reported yet counts as open.
    const auto slot = broker->connectionSlots.try_emplace(fd, ConnectionSlot{0, true}).first;
    if (!slot->second.open) return nullptr;
    connection = slot->second.connections;
  }
  ClientRecord& record = broker->clients[identity];
  record.fd = fd;
  record.connection = connection;
  return &record;
}

void _releaseClient(aServer* server, BrokerState* broker, const std::string& identity) {
  _releaseStreamHolds(broker, identity);
  std::erase(broker->subscribers, identity);
  std::erase(broker->turns, identity);
  server->pools.remove_if([&](const SetBytesPool& pool) { return pool.identity == identity; });
  // Its answers still come in their turn; nobody takes them.
  if (broker->pending && broker->pending->owner == identity) broker->pending->owner.clear();
  const auto client = broker->clients.find(identity);
  if (client != broker->clients.end()) {
    broker->queuedRequests -= client->second.requests.size();
    broker->clients.erase(client);
  }
  broker->trimDue = true;
}

void _serverWorker_broker_monitor(aServer* server, BrokerState* broker) {
  uint16_t event = 0;
  int32_t value = -1;
  while (_takeMonitorEvent(zsock_resolve(server->frontendMonitor), &event, &value)) {
    if (event == ZMQ_EVENT_ACCEPTED) _connectionOpened(broker, value);
    if (event == ZMQ_EVENT_DISCONNECTED) _connectionClosed(server, broker, value);
  }
}

void _noteClientRecords(aServer* server, const BrokerState* broker) {
  size_t count =
      broker->clients.size() + broker->subscribers.size() + broker->ownRequests.size() + server->pools.size();
  for (const auto& holders : broker->streamHolders) count += holders.second.size();
  count += broker->queuedRequests;
  server->clientRecords.store(count, std::memory_order_relaxed);
}

void _returnFreedMemoryWhenDue(BrokerState* broker) {
  const uint64_t now = aTime_GetMonotonicMSTicks();
  if (!broker->trimDue || now - broker->lastTrimMs < kTrimIntervalMs) return;
  broker->trimDue = false;
  broker->lastTrimMs = now;
#if defined(__GLIBC__)
  // The messaging library frees a closed connection's buffers on its own threads; the allocator
  // keeps such memory for reuse unless asked, and thousands of clients that came and went would
  // hold tens of megabytes.
  malloc_trim(0);
#endif
}

size_t _clientRecordCount(const aServer* server) { return server->clientRecords.load(std::memory_order_relaxed); }

}  // namespace aServerInternal
