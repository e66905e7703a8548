// The link sharing server's record and the pieces its units share (internal to the server).
//
// Ownership by thread (the server has no mutex of its own; threads meet only through ZeroMQ
// pairs and the device link's FIFOs):
// - owner's thread: creation, start, the setters, flush and destruction; the actor handles'
//   pipes.
// - broker: frontend, frontendMonitor, replyBrokerSocket, streamBrokerSocket, pools,
//   publishStart/publishing and, after the start, the beacon actor; the device link only through
//   its outbound FIFO (or a write on the broker's thread, when the link is idle) and, while a
//   request awaits its answer, reading its stream as the link's deliverer.
// - whoever runs the device link's packet filter, under the link's filter lock (the link's
//   reader thread, or the broker while it reads the device link for a reply):
//   replyFilterSocket, streamFilterSocket, streamBatch, streamBatchLength.
// - discovery responder: its own multicast sockets; it reads the advertised fields.
// model and moduleAddress are set by the owner while the others read them, hence atomic; every
// other advertised field is written before the model can become non-zero.
#pragma once

#include <czmq.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <optional>
#include <set>
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

// A module stream as clients name it in their enable and disable requests: the address the
// request went to, then the stream's address, command, option and index bytes.
using StreamKey = std::array<uint8_t, 5>;

// Where a client's messages come from: the frontend's TCP connection (its socket and the count
// of connections that socket number had carried when the client was first heard), or fd -1 for
// a client of this process (in-process transport, which reports no connections).
// A client's request waiting for its turn: one packet, or a pooled byte-value write whose last
// packet is the one answered; and the stream a successful answer makes the client hold.
struct QueuedRequest {
  std::vector<aPacket> packets;
  std::optional<StreamKey> holds;
};

// At most this many requests of one client wait for their turn; more are dropped unanswered.
constexpr size_t kMaxQueuedRequests = 1000;

struct ClientRecord {
  int fd = -1;
  uint64_t connection = 0;
  std::deque<QueuedRequest> requests;  // waiting for their turn, in arrival order
};

// A socket number of the frontend's TCP connections: how many it has carried, and whether the
// last one is open.
struct ConnectionSlot {
  uint64_t connections = 0;
  bool open = false;
};

// How long the module is given for each reply packet.
constexpr uint64_t kReplyWaitMs = 2000;

// The one request on the device link that awaits the module's replies.
struct PendingRequest {
  aPacket request;
  std::string owner;               // whose answer it is ("": the server's own, or a client gone since)
  std::optional<StreamKey> holds;  // the stream its success makes the owner hold
  bool discarded = false;          // flushed: the answer goes to nobody
  std::vector<aPacket> replies;    // collected so far, in arrival order
  uint64_t deadlineMs = 0;         // monotonic: the next reply is given up after this
};

// What the broker keeps about clients while it runs. Every client record goes when its client
// goes (its connection closes, it says goodbye, or a message to it finds it gone).
struct BrokerState {
  std::optional<PendingRequest> pending;
  std::vector<std::string> subscribers;                      // clients that enabled streams, each once, until they go
  std::map<StreamKey, std::set<std::string>> streamHolders;  // the clients that keep each stream on
  std::deque<aPacket> ownRequests;  // the server's own requests: disables of streams nobody holds
  std::map<std::string, ClientRecord> clients;
  std::deque<std::string> turns;                  // clients with waiting requests, the next to be served first
  std::string requeued;                           // the client last served, queued again for its next turn
  size_t queuedRequests = 0;                      // in all the clients' queues
  std::map<int, ConnectionSlot> connectionSlots;  // by socket number
  uint64_t lastTrimMs = 0;
  bool trimDue = false;  // memory was released since the last trim
  // Module packets that the device link's filter handed over on the broker's own thread.
  std::vector<aPacket> handedHere;
};

}  // namespace aServerInternal

struct aServer {
  aLinkID linkId = 0;         // the served device link, reached through the core by id only
  uint32_t serialNumber = 0;  // the served module's, as advertised
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  uint32_t advertisedType = 0;
  uint8_t localOnly = 0;
  uint32_t interfaceAddress = 0;  // network byte order
  uint64_t publishStart = 0;      // monotonic ms
  uint8_t publishing = 0;
  zactor_t* broker = nullptr;
  zactor_t* discovery = nullptr;  // the beacon actor or the loopback multicast responder
  uint8_t useBeacon = 0;
  uint16_t frontendPort = 0;
  zsock_t* frontend = nullptr;
  zsock_t* frontendMonitor = nullptr;  // the frontend's TCP connections opening and closing
  // The inner pairs are in-process (no ports). The device link's reader hands every module
  // packet that is not a stream packet or a heartbeat to the broker over the reply pair.
  zsock_t* replyFilterSocket = nullptr;
  zsock_t* replyBrokerSocket = nullptr;
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
  // The broker's count of per-client records (clients, subscribers, stream holds, pools), for
  // any thread to read.
  std::atomic<size_t> clientRecords{0};
};

namespace aServerInternal {

// ---- packet frames (aServer_frames.cpp) -------------------------------------------------------

// The status signal with which the owner asks the broker to flush; any other message stops it.
constexpr uint8_t kFlushSignal = 5;

// A packet frame [address][length][data]: 2 to 30 bytes, a non-zero address, a length byte of at
// most 28 that the frame holds; bytes after the packet are ignored. False (packet untouched) for
// anything else.
bool _framePacket(const uint8_t* bytes, size_t size, aPacket* packet);
bool _zFrame_To_aPacket(zframe_t* frame, aPacket* packet);
// A new frame of the packet's 2 + length bytes; null when it cannot be made.
zframe_t* _aPacket_To_zFrame(const aPacket* packet);

// The module answers a packet unless it goes to the route address 0xAF or is a middle part
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

// Whether a packet may be forwarded to the module by its address: an even non-zero module
// address, the route address 0xAF, or an empty packet to 0xAD (a client link's
// synchronisation, which the module answers). No module can have any other address.
bool _mayBeModuleAddress(const aPacket* packet);
// The server's error reply to a packet it refuses for its address: the packet's address, its
// command byte when it has one, then aErrPacket.
aPacket _refusalOf(const aPacket* packet);

// What became of a message to a client: sent, refused for now (its queue is full: the message
// is lost) or the client has gone.
enum class ClientSend { sent, refused, gone };
// Sends [identity][frame copy] to a client through the frontend.
ClientSend _sendToClient(zsock_t* frontend, const std::string& identity, zframe_t* frame);
std::string _identityOf(zframe_t* frame);

// ---- broker (aServer_broker.cpp) -------------------------------------------------------------

void _serverWorker_broker(zsock_t* pipe, void* server);
// One client message from the frontend, then whatever requests may go now.
void _serverWorker_broker_frontend(aServer* server, BrokerState* broker);
// One client message from the frontend: answered at once, taken by a pool, or queued.
void _takeClientPacket(aServer* server, BrokerState* broker);
// Every module packet the device link's reader has handed over: the replies to the pending
// request are collected, and once the last has come the answer goes to its owner; any other
// packet is dropped. Then whatever requests may go now.
void _serverWorker_broker_replies(aServer* server, BrokerState* broker);
// At nowMs past the pending request's deadline, gives up waiting: the replies collected so far
// go to the owner (none: the owner gets nothing). Then whatever requests may go now.
void _serverWorker_broker_overdue(aServer* server, BrokerState* broker, uint64_t nowMs);
// How long the broker may sleep (at most maxMs): until the pending request's deadline.
int _brokerWaitMs(const BrokerState* broker, uint64_t nowMs, int maxMs);
// Puts a packet on the device link without waiting; true when it went.
bool _sendToModule(aServer* server, const aPacket* packet);
// Sends a packet whose answer goes to the client (the server's own for an empty identity),
// noting the stream that a successful answer makes the client hold; false when not sent.
bool _sendRequest(aServer* server, BrokerState* broker, const aPacket* packet, const std::string& identity,
                  std::optional<StreamKey> holds = std::nullopt);
// Whether a request awaits the module's replies (no other request goes meanwhile).
bool _awaitsAnswer(const BrokerState* broker);
// Queues a client's request for its turn (a full queue drops it).
void _queueRequest(BrokerState* broker, const std::string& identity, QueuedRequest request);
// While no answer is owed: sends the server's own requests first (those that still have a
// reason), then the clients' in turn, one request of each client with any, round and round.
void _sendQueuedRequests(aServer* server, BrokerState* broker);
// The device link's packet filter hands a module packet to the broker (reader thread); a packet
// the broker cannot take now is lost.
void _handReplyToBroker(aServer* server, const aPacket* packet);

// ---- pooled writes and stream fan-out (aServer_pooling.cpp) -----------------------------------

// The pooling step for one client packet; true when it took the packet (the caller forwards
// nothing itself).
bool _handleSetUEIBytes(aServer* server, const std::string& identity, const aPacket* packet, BrokerState* broker);
// Enrols the client on a stream-enable packet [0x5D, 0x81, ...] of length 7.
void _handleStreamEnable(std::vector<std::string>* subscribers, const aPacket* packet, const std::string& identity);
// The device link's user packet filter (reader thread): batches stream packets, sends the
// batch at a heartbeat or when it grows past kStreamBatchSendLevel, and hands every other
// packet but a heartbeat (the link answers those) to the broker. True = consumed.
bool _streamingPacketFilter(const aPacket* packet, void* server);
// Sends one received batch to every subscriber (broker).
void _serverWorker_broker_streaming(aServer* server, BrokerState* broker);
// The stream bookkeeping for one client packet: enrols the client for batches on an enable,
// and on a disable keeps the module's stream on while another client holds it. True when the
// server answered the packet itself (nothing is forwarded); else *holds names the stream that a
// successful answer makes the client hold.
bool _handleStreamRequest(aServer* server, BrokerState* broker, const std::string& identity, const aPacket* packet,
                          std::optional<StreamKey>* holds);
// The stream an enable or disable packet names, and the disable of such a stream.
StreamKey _streamKeyOf(const aPacket* packet);
aPacket _streamDisableFor(const StreamKey& key);
// Sends the client one packet of the server's own (releasing a client found gone).
void _answerWithPacket(aServer* server, BrokerState* broker, const std::string& identity, const aPacket* packet);
// Takes the stream holds that a departed client had: a stream nobody holds any more is
// disabled by the server's own request.
void _releaseStreamHolds(BrokerState* broker, const std::string& identity);

// ---- clients (aServer_clients.cpp) ------------------------------------------------------------

// One message from the frontend: the client's identity, the socket it came on (-1: in-process)
// and its first content frame; any further frames are dropped.
struct ClientMessage {
  std::string identity;
  int fd = -1;
  bool hasContent = false;
  std::vector<uint8_t> content;
};
// The next frontend message; false when none could be taken.
bool _takeClientMessage(zsock_t* frontend, ClientMessage* message);
// The record of the client that sent a message that came on socket fd (-1: in-process), made on
// its first message; null when that connection has closed already (the message is dropped).
ClientRecord* _noteClient(BrokerState* broker, const std::string& identity, int fd);
// Everything kept for a client that has gone: its record, subscription, stream holds, pool and
// the answer it waits for (discarded when it comes).
void _releaseClient(aServer* server, BrokerState* broker, const std::string& identity);
// Takes every event of the frontend's monitor: connections opened, connections closed (their
// clients are released).
void _serverWorker_broker_monitor(aServer* server, BrokerState* broker);
// Publishes the count of per-client records (broker, after every step).
void _noteClientRecords(aServer* server, const BrokerState* broker);
// Hands memory released with departed clients back to the system, at most once a second.
void _returnFreedMemoryWhenDue(BrokerState* broker);
// The last published count of per-client records (any thread).
size_t _clientRecordCount(const aServer* server);

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
