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
//
// Streams are counted per stream name: a client holds a stream from the module's successful
// acknowledgement of its enable until its disable or its going, and the module's stream stays
// on while any client holds it.
#include <algorithm>
#include <cstring>

#include "common/aDefs.h"
#include "common/aUEI.h"
#include "server/aServer_internal.h"

namespace aServerInternal {

namespace {

constexpr uint8_t kStreamEnableLength = 7;

bool _startsPool(const aPacket* packet) {
  return packet->dataSize == aPACKET_MAX_DATA && aUEI_getBytesContinue(packet) && aUEI_getBytesSequence(packet) == 0;
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

// Queues the whole write as one request; its client waits for the answer to the last part.
void _forwardPool(const SetBytesPool& pool, BrokerState* broker) {
  _queueRequest(broker, pool.identity, QueuedRequest{pool.packets, std::nullopt});
}

bool _isStreamRequest(const aPacket* packet, uint8_t option) {
  return packet && packet->dataSize == kStreamEnableLength && packet->data[0] == cmdSTREAM && packet->data[1] == option;
}

// The module's acknowledgement of a stream disable: [0x5D][0xC2][0x00].
aPacket _disableAcknowledgement(uint8_t address) {
  aPacket ack{};
  ack.check = aPACKET_CHECK;
  ack.address = address;
  ack.dataSize = 3;
  ack.fillCount = 5;
  ack.data[0] = cmdSTREAM;
  ack.data[1] = (streamOPTION_DISABLE & UEI_OPTION_MASK) | UEI_ACK;
  ack.data[2] = 0;
  return ack;
}

}  // namespace

bool _handleSetUEIBytes(aServer* server, const std::string& identity, const aPacket* packet, BrokerState* broker) {
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
    _forwardPool(*pool, broker);
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

StreamKey _streamKeyOf(const aPacket* packet) {
  return {packet->address, packet->data[3], packet->data[4], packet->data[5], packet->data[6]};
}

aPacket _streamDisableFor(const StreamKey& key) {
  aPacket disable{};
  disable.check = aPACKET_CHECK;
  disable.address = key[0];
  disable.dataSize = kStreamEnableLength;
  disable.fillCount = kStreamEnableLength + 2;
  const uint8_t data[kStreamEnableLength] = {cmdSTREAM, streamOPTION_DISABLE, UEI_INDEX_REQUEST, key[1], key[2], key[3],
                                             key[4]};
  std::memcpy(disable.data, data, sizeof data);
  return disable;
}

bool _handleStreamRequest(aServer* server, BrokerState* broker, const std::string& identity, const aPacket* packet,
                          std::optional<StreamKey>* holds) {
  if (_isStreamRequest(packet, streamOPTION_ENABLE)) {
    _handleStreamEnable(&broker->subscribers, packet, identity);
    *holds = _streamKeyOf(packet);
    return false;
  }
  if (!_isStreamRequest(packet, streamOPTION_DISABLE)) return false;
  const auto holders = broker->streamHolders.find(_streamKeyOf(packet));
  if (holders == broker->streamHolders.end()) return false;  // nobody holds it: the module stops it
  holders->second.erase(identity);
  if (holders->second.empty()) {
    broker->streamHolders.erase(holders);
    return false;
  }
  // Other clients still hold the stream: it stays on, and the client hears what the module says.
  const aPacket ack = _disableAcknowledgement(packet->address);
  _answerWithPacket(server, broker, identity, &ack);
  return true;
}

void _releaseStreamHolds(BrokerState* broker, const std::string& identity) {
  for (auto holders = broker->streamHolders.begin(); holders != broker->streamHolders.end();) {
    if (holders->second.erase(identity) && holders->second.empty()) {
      broker->ownRequests.push_back(_streamDisableFor(holders->first));
      holders = broker->streamHolders.erase(holders);
    } else {
      ++holders;
    }
  }
}

void _handleStreamEnable(std::vector<std::string>* subscribers, const aPacket* packet, const std::string& identity) {
  if (!_isStreamRequest(packet, streamOPTION_ENABLE)) return;
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
  const bool heartbeat = aPacket_IsHeartbeat(packet);
  if ((heartbeat || server->streamBatchLength > kStreamBatchSendLevel) && server->streamBatchLength > 0) {
    // Never waits: a batch the broker cannot take now is lost, and the reader goes on.
    aZmq_SendWithoutWaiting(server->streamFilterSocket, server->streamBatch, server->streamBatchLength, 0);
    server->streamBatchLength = 0;
  }
  if (consumed || heartbeat) return consumed;
  _handReplyToBroker(server, packet);
  return true;
}

void _serverWorker_broker_streaming(aServer* server, BrokerState* broker) {
  zframe_t* batch = aZmq_ReceiveFrameWithoutWaiting(server->streamBrokerSocket);
  if (!batch) return;
  std::vector<std::string> gone;
  for (const std::string& subscriber : broker->subscribers)
    if (_sendToClient(server->frontend, subscriber, batch) == ClientSend::gone) gone.push_back(subscriber);
  for (const std::string& identity : gone) _releaseClient(server, broker, identity);
  zframe_destroy(&batch);
}

}  // namespace aServerInternal
