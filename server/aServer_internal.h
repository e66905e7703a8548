// The link sharing server's record and the pieces its units share (internal to the server).
//
// Ownership by thread (the server has no mutex of its own; threads meet only through ZeroMQ
// pairs and the device link's FIFOs):
// - owner's thread: creation, start, the setters, flush and destruction; the actor handles'
//   pipes.
// - broker: frontend, syncBrokerSocket, streamBrokerSocket, pools, publishStart/publishing and,
//   after the start, the beacon actor.
// - sync worker: syncWorkerSocket; the device link only through its FIFOs.
// - device link reader (the stream filter, under the link's filter lock): streamFilterSocket,
//   streamBatch, streamBatchLength.
// - discovery responder: its own multicast sockets; it reads the advertised fields.
// model and moduleAddress are set by the owner while the others read them, hence atomic; every
// other advertised field is written before the model can become non-zero.
#pragma once

#include <czmq.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <vector>

#include "common/aPacket.h"
#include "common/discover.h"
#include "server/aServer_ZeroMQ.h"
#include "server/aZmqSend.h"

namespace aServerInternal {

constexpr size_t kStreamBatchCapacity = aSERVER_MAX_FRAME_SIZE;
// A batch is sent once it holds more than this, so one more record (at most 30 bytes) fits.
constexpr uint16_t kStreamBatchSendLevel = 4065;

// A client's multi-packet byte-value write, collected until its last packet has come.
struct SetBytesPool {
  std::string identity;          // the client's identity frame
  std::vector<aPacket> packets;  // in arrival order, the first with sequence number 0
  uint8_t lastSequence = 0;
  uint32_t packetsToLive = 2000;  // UEI packets of any client it survives
};

// What the broker keeps about clients while it runs.
struct BrokerState {
  std::deque<std::string> replyIds;      // whose answer comes next from the sync worker
  uint32_t answersToDiscard = 0;         // answers still owed to requests dropped by a flush
  std::vector<std::string> subscribers;  // clients that enabled streams, each once
};

}  // namespace aServerInternal

struct aServer {
  aLinkID linkId = 0;        // the served device link, reached through the core by id only
  uint32_t serialNumber = 0;  // the served module's, as advertised
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  uint32_t advertisedType = 0;
  uint8_t localOnly = 0;
  uint32_t interfaceAddress = 0;  // network byte order
  uint64_t publishStart = 0;      // monotonic ms
  uint8_t publishing = 0;
  zactor_t* broker = nullptr;
  zactor_t* syncWorker = nullptr;
  zactor_t* discovery = nullptr;  // the beacon actor or the loopback multicast responder
  uint8_t useBeacon = 0;
  uint16_t frontendPort = 0;
  zsock_t* frontend = nullptr;
  uint16_t syncPort = 0;  // stays 0: the inner pairs are in-process (no port)
  zsock_t* syncWorkerSocket = nullptr;
  zsock_t* syncBrokerSocket = nullptr;
  uint16_t streamingPort = 0;  // stays 0, as syncPort
  zsock_t* streamFilterSocket = nullptr;
  zsock_t* streamBrokerSocket = nullptr;
  uint8_t streamBatch[aServerInternal::kStreamBatchCapacity] = {};
  uint16_t streamBatchLength = 0;
  uint32_t beaconHost = 0;  // network byte order
  std::list<aServerInternal::SetBytesPool> pools;
  // Start bookkeeping: a second start reports the first one's result; only a filter this server
  // installed is removed again.
  bool startTried = false;
  aErr startResult = aErrNone;
  bool filterInstalled = false;
  bool inprocPublished = false;  // the frontend's in-process endpoint is noted for its clients
};

namespace aServerInternal {

// ---- packet frames (aServer_frames.cpp) -------------------------------------------------------

// Server commands from the sync worker to the broker: the first frame of every answer.
constexpr uint8_t SERVER_CMD_DROPPED_PACKET = 0;
constexpr uint8_t SERVER_CMD_INCOMING_PACKETS = 1;
constexpr size_t kServerCommandSize = 3;
// The status signal with which the owner asks the broker to flush; any other message stops it.
constexpr uint8_t kFlushSignal = 5;

// A packet frame [address][length][data]: 2 to 30 bytes, a non-zero address, a length byte of at
// most 28 that the frame holds; bytes after the packet are ignored. False (packet untouched) for
// anything else.
bool _framePacket(const uint8_t* bytes, size_t size, aPacket* packet);
bool _zFrame_To_aPacket(zframe_t* frame, aPacket* packet);
// A new frame of the packet's 2 + length bytes; null when it cannot be made.
zframe_t* _aPacket_To_zFrame(const aPacket* packet);

// The sync worker answers a packet unless it goes to the route address 0xAF or is a middle part
// of a multi-packet byte-value write (a full UEI packet with the continue bit).
bool _isResponseRequired(const aPacket* packet);
// A reply that is a full UEI packet with the continue bit: more reply packets follow.
bool _doesPacketContinue(const aPacket* packet);
// Whether a packet from the module answers the request: the same command byte and, for an
// entity request, the same option number (a get's reply carries the bare option, a set's
// acknowledgement the option with the ack bits, an error reply the request's option). A request
// without data (the address query) is answered by a packet without data. Non-entity commands are
// matched by their command byte alone: their replies may carry another option (a status).
bool _isReplyTo(const aPacket* request, const aPacket* reply);
// A client's force-route packet [0xAF][1][x]: never forwarded, never answered.
bool _isBlacklistedPacket(const aPacket* packet);

// Sends [identity][frame copy] to a client through the frontend. True when sent.
bool _sendToClient(zsock_t* frontend, const std::string& identity, zframe_t* frame);
std::string _identityOf(zframe_t* frame);

// ---- broker and sync worker (aServer_broker.cpp) ----------------------------------------------

void _serverWorker_broker(zsock_t* pipe, void* server);
void _serverWorker_syncCommands(zsock_t* pipe, void* server);
// One client message from the frontend (broker).
void _serverWorker_broker_frontend(aServer* server, BrokerState* broker);
// One answer from the sync worker, routed to the client it belongs to (broker).
void _serverWorker_broker_sync(aServer* server, BrokerState* broker);
// One request on the sync worker, in two halves: the first takes the broker's frame into
// request, drains the device link's inbound FIFO and puts the request on its outbound FIFO; true
// when the request awaits replies (else any answer has gone already). The second collects the
// replies, waiting up to waitMs for each, and answers the broker.
bool _syncRequest_Send(aServer* server, aPacket* request);
void _syncRequest_Answer(aServer* server, const aPacket* request, uint64_t waitMs);
// Forwards a client's packet frame to the sync worker without waiting; true when sent.
bool _forwardToSyncWorker(aServer* server, const aPacket* packet);

// ---- pooled writes and stream fan-out (aServer_pooling.cpp) -----------------------------------

// The pooling step for one client packet; true when it took the packet (the caller forwards
// nothing itself).
bool _handleSetUEIBytes(aServer* server, const std::string& identity, const aPacket* packet,
                        BrokerState* broker);
// Enrols the client on a stream-enable packet [0x5D, 0x81, ...] of length 7.
void _handleStreamEnable(std::vector<std::string>* subscribers, const aPacket* packet,
                         const std::string& identity);
// The device link's user packet filter (reader thread): batches stream packets, sends the
// batch at a heartbeat or when it grows past kStreamBatchSendLevel. True = consumed.
bool _streamingPacketFilter(const aPacket* packet, void* server);
// Sends one received batch to every subscriber (broker).
void _serverWorker_broker_streaming(aServer* server, const BrokerState* broker);

// ---- discovery responders (aServer_discovery.cpp) ---------------------------------------------

// Chooses and starts the discovery responder; may replace interfaceAddress.
void _configureInterface(aServer* server);
// A loopback discovery request as received (cut to its first four bytes): BA DC CD AB.
bool _isLoopbackRequest(const uint8_t* bytes, int length);
// Answers one beacon heard by the beacon actor (broker).
void _serverWorker_broker_beacon(aServer* server);
// Ends a beacon answer that has lasted long enough (broker, after every wake-up).
void _silenceBeaconWhenDue(aServer* server);
// Stops the loopback responder or destroys the beacon actor.
void _stopDiscovery(aServer* server);
linkSpec _createNetworkSpec(const aServer* server);
bool _isDiscoveryConfigured(const aServer* server);

// ---- actors (aServer_ZeroMQ.cpp) --------------------------------------------------------------

// Starts an actor whose body signals twice: once to be made, then 0 when it runs (its poller
// exists) or non-zero when it ended at once. Null, with nothing left running, when it does not
// run.
zactor_t* _startActor(zactor_fn* body, aServer* server);
// Sends status 0, waits for the actor's closing signal and destroys it; nothing for null.
void _stopActor(zactor_t** actor);

}  // namespace aServerInternal
