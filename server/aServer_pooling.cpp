// Pooled multi-packet byte-value writes (broker) and the stream packets' way to the clients
// that enabled streams (device link reader, then broker).
//
// A byte value longer than one packet comes as full packets (27 or 28 data bytes) whose last
// data byte holds a 7-bit sequence number and the continue bit, then a last packet without it;
// all of them carry the same command, option and index bytes. The broker collects such a write
// per client and forwards it in one run once its last packet has come, so that no other
// client's packet reaches the module between its parts. Only the parts of the pending value are
// taken: the client's other requests go their ordinary way meanwhile, and a value whose part
// went missing is never forwarded (it ages out, or the client's next value replaces it).
#include <algorithm>
#include <cstring>

#include "common/aDefs.h"
#include "common/aUEI.h"
#include "server/aServer_internal.h"

namespace aServerInternal {

namespace {

constexpr uint8_t kStreamEnableLength = 7;

bool _startsPool(const aPacket* packet) {
  return packet->dataSize == aPACKET_MAX_DATA && aUEI_getBytesContinue(packet) &&
         aUEI_getBytesSequence(packet) == 0;
}

uint8_t _nextSequence(uint8_t sequence) { return (sequence + 1) & UEI_BYTES_SEQUENCE_MASK; }

// Every part of one value carries the same command, option and index bytes.
bool _isPartOf(const SetBytesPool& pool, const aPacket* packet) {
  const aPacket& first = pool.packets.front();
  return packet->dataSize >= 3 && std::memcmp(packet->data, first.data, 3) == 0;
}

bool _isNextPart(const SetBytesPool& pool, const aPacket* packet) {
  return _isPartOf(pool, packet) && aUEI_getBytesSequence(packet) == _nextSequence(pool.lastSequence);
}

// Every UEI packet ages every pool; a pool whose time is up goes.
void _agePools(aServer* server) {
  for (auto pool = server->pools.begin(); pool != server->pools.end();) {
    if (pool->packetsToLive == 0) {
      pool = server->pools.erase(pool);
    } else {
      --pool->packetsToLive;
      ++pool;
    }
  }
}

// Sends the whole write to the sync worker; its client waits for the answer to the last part.
void _forwardPool(aServer* server, const SetBytesPool& pool, BrokerState* broker) {
  bool lastSent = false;
  for (const aPacket& packet : pool.packets) lastSent = _forwardToSyncWorker(server, &packet);
  if (lastSent) broker->replyIds.push_back(pool.identity);
}


}  // namespace

bool _handleSetUEIBytes(aServer* server, const std::string& identity, const aPacket* packet,
                        BrokerState* broker) {
  if (aUEI_isNotUEIPayload(packet)) return false;
  _agePools(server);
  auto pool = std::find_if(server->pools.begin(), server->pools.end(),
                           [&](const SetBytesPool& p) { return p.identity == identity; });
  if (pool != server->pools.end() && _isNextPart(*pool, packet)) {
    pool->packets.push_back(*packet);
    if (aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet)) {
      pool->lastSequence = aUEI_getBytesSequence(packet);
      return true;
    }
    _forwardPool(server, *pool, broker);
    server->pools.erase(pool);
    return true;
  }
  if (_startsPool(packet)) {
    // A new value: whatever was left of an earlier one (a part went missing) is given up.
    if (pool != server->pools.end()) server->pools.erase(pool);
    server->pools.push_back(SetBytesPool{identity, {*packet}, 0, 2000});
    return true;
  }
  // A part of the pending value out of order is dropped; any other packet goes its own way.
  return pool != server->pools.end() && _isPartOf(*pool, packet);
}

void _handleStreamEnable(std::vector<std::string>* subscribers, const aPacket* packet,
                         const std::string& identity) {
  if (!packet || packet->dataSize != kStreamEnableLength || packet->data[0] != cmdSTREAM ||
      packet->data[1] != streamOPTION_ENABLE)
    return;
  if (std::find(subscribers->begin(), subscribers->end(), identity) == subscribers->end())
    subscribers->push_back(identity);
}

bool _streamingPacketFilter(const aPacket* packet, void* ref) {
  aServer* server = static_cast<aServer*>(ref);
  const bool consumed = aUEI_isStreamPacket(packet);
  if (consumed) {
    uint8_t* record = server->streamBatch + server->streamBatchLength;
    record[0] = packet->address;
    record[1] = packet->dataSize;
    std::memcpy(record + 2, packet->data, packet->dataSize);
    server->streamBatchLength = static_cast<uint16_t>(server->streamBatchLength + packet->dataSize + 2);
  }
  if ((aPacket_IsHeartbeat(packet) || server->streamBatchLength > kStreamBatchSendLevel) &&
      server->streamBatchLength > 0) {
    // Never waits: a batch the broker cannot take now is lost, and the reader goes on.
    aZmq_SendWithoutWaiting(server->streamFilterSocket, server->streamBatch, server->streamBatchLength, 0);
    server->streamBatchLength = 0;
  }
  return consumed;
}

void _serverWorker_broker_streaming(aServer* server, const BrokerState* broker) {
  zframe_t* batch = zframe_recv(server->streamBrokerSocket);
  if (!batch) return;
  for (const std::string& subscriber : broker->subscribers) _sendToClient(server->frontend, subscriber, batch);
  zframe_destroy(&batch);
}

}  // namespace aServerInternal
