// Feeds client frames to the link sharing server's broker-side steps on a server record whose
// sockets lead nowhere: frame parsing (every accepted packet must give back the frame's bytes),
// stream enabling, the pooling of byte-value writes and the stream filter. Checks that a pool
// only ever holds one value's parts in sequence, bounded by its time to live, and that the
// stream batch never outgrows its buffer.
//
// Input: records [control][frame length][frame bytes]; bit 0 of control picks one of two
// clients, bit 1 also offers the packet to the stream filter as if the module had sent it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/aPacket.h"
#include "common/aUEI.h"
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

aServer* _server() {
  static FuzzServer fuzzServer;
  return &fuzzServer.server;
}

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aServer* server = _server();
  server->pools.clear();
  server->streamBatchLength = 0;
  BrokerState broker;
  const std::string clients[2] = {std::string("\0A", 2), std::string("\0B", 2)};
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t control = data[at];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    const uint8_t* frame = data + at + 2;
    at += 2 + length;
    aPacket packet;
    if (!_framePacket(frame, length, &packet)) continue;
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
