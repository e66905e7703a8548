// The link sharing server: puts one registered device link (USB, TCP/IP or serial) at the
// disposal of any number of client processes over ZeroMQ.
//
// Clients connect a DEALER socket to the server's ROUTER frontend (an ephemeral TCP port) and
// send one packet frame per message: [address][length][data of length bytes], 2 to 30 bytes.
// The server sends the module one request at a time and each client the module's replies to its
// own requests, one frame per reply packet. It takes its clients in turn, one request from each
// client that has any, so a client with many requests holds another up by one of them at most;
// a request the module leaves unanswered for 2000 ms gets no reply at all and holds the others
// that long. A packet to an address no module can have (odd, except the route address 0xAF and
// an empty synchronisation packet to 0xAD) is refused at once with [address][n][command][24]
// (aErrPacket; n is 1 without a command), and nothing is forwarded. The server never answers
// force-route packets [0xAF][1][x], nor packets it does not forward.
//
// Streams: a client that sent the stream-enable request [0x5D, 0x81, 0x20, stream name]
// (length 7) receives every batch of stream packets: one frame holding [address][length][data]
// records. A stream the module acknowledged for a client is held by it; a disable request
// [0x5D, 0x82, ...] while another client still holds that stream is answered by the server
// ([0x5D][0xC2][0x00]) and the stream stays on; the last holder's disable goes to the module.
//
// A client that goes (its TCP connection closes, or an empty frame says goodbye) is forgotten:
// its stream holds (a stream nobody holds any more is disabled by the server itself), its
// enrolment for batches, its unfinished byte-value write and its waiting answer.
//
// Threads: a broker (the frontend, the clients' records, the pooling of multi-packet byte-value
// writes, the one request in flight on the device link and its replies, the stream fan-out,
// beacon answers) and a discovery responder; the device link's reader hands the module's
// packets to the broker. The functions below are called from one thread, the
// owner's; the model and module address may be set while the server runs. After
// aServer_Destroy returns no thread of the server runs and the device link has no user packet
// filter. The creator owns the server and ends it with aServer_Destroy; the device link stays
// its owner's.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aLink.h"

typedef struct aServer aServer;

// The largest frame either side of a client connection sends: a stream batch from the server,
// or a client's pooled write of several packet frames. A peer that announces a larger frame is
// disconnected before anything is set aside for it.
constexpr int aSERVER_MAX_FRAME_SIZE = 4096;

// A server for the registered device link: nothing bound, no thread started. networkInterface
// is the IPv4 address to serve on (network byte order), 0 for 127.0.0.1; with localOnly the
// server serves and answers discovery on the loopback interface only. Null when the id names no
// registered USB, TCP/IP or serial link, or a link that already has a server attached.
aServer* aServer_Create(aLinkID linkId, uint32_t networkInterface, uint8_t localOnly);

// Binds the frontend, starts the broker and the discovery responder and takes the
// device link's stream packets (its user packet filter); succeeds once clients are served. What
// did start before a failure runs on until aServer_Destroy. A second start changes nothing and
// gives the first one's result.
aErr aServer_Start(aServer* server);

// Stops the threads (broker, discovery responder, each within about two seconds),
// gives the device link its filter slot back, closes every socket and frees the server; *server
// is cleared.
aErr aServer_Destroy(aServer** server);

// The frontend's TCP port (0 until the start has bound it).
aErr aServer_GetPort(aServer* server, uint16_t* port);

// The IPv4 interface (network byte order) clients connect to: the one asked for until the
// start, then the one served (127.0.0.1 for a local-only server; the host's first network
// interface when a network server was asked for 0 or 127.0.0.1).
aErr aServer_GetInterface(aServer* server, uint32_t* networkInterface);

// What the server advertises in discovery answers. Until a non-zero model is set the server
// answers no discovery request.
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);

// Drops every request the server holds for an answer: the answers still owed to them are
// discarded when they come, so they never reach a later request's client. Does nothing, and
// succeeds, when no broker runs.
aErr aServer_FlushFIFO(aServer* server);

// Lends the link core this server and its client stream (see aLinkServedProcs), which it names
// no other way: until then no served or client link can be made. Idempotent; a program, or the
// object layer before its first served or client link, calls it once. Replaces stand-ins a test
// installed.
void aServer_RegisterWithLinkCore();
