// Device links by id: every registered link owns one engine with a reader and a writer thread
// over a byte stream. The reader keeps the host in step with the module's framing, answers the
// module's heartbeats itself, offers each packet to an optional user filter and queues the rest
// on the inbound FIFO; the writer writes what is queued on the outbound FIFO. Every operation
// here may be called from any thread; an id that names no registered link (or an entry without
// an engine) is answered as stated per function, never with a crash.
//
// Link packet protocol, as the engine speaks it:
//   [0xAD][0x00]            six in a row: synchronisation burst; the module answers each with
//                           [A][0x00] from its own even, non-zero address A
//   [A][0x02][0x00][0|1]    heartbeat from the module (up / down); answered with data[1] + 2
//   [0xAF][0x01][on]        force-route: 1 is queued first at start, 0 last at every stop
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"
#include "common/packetfifo.h"

// Id of a registered link: counted from 1 in creation order, never reused; 0 means no link.
typedef uint32_t aLinkID;

// What aLink_GetStatus reports.
enum linkStatus : int32_t {
  STOPPED = 0,              // initialised with a stream, or a stop has completed
  INITIALIZING = 1,         // a start is creating the threads
  RUNNING = 2,              // the reader runs and the link is in step with the module
  STOPPING = 3,             // a stop has begun
  SYNCING = 4,              // synchronisation was requested or restarted
  INVALID_LINK_STREAM = 5,  // no stream; also the answer for an id that names no link
  IO_ERROR = 6,             // a stream read failed
  UNKNOWN_ERROR = 8,        // the inbound FIFO refused a received packet
};

struct aStream;

// A link's user packet filter: true when it consumed the packet (it then goes no further, not
// even to the heartbeat answer). It runs on the link's reader thread with the link's filter lock
// held and sees the reader's own assembly packet, which is reset right after the call: copy what
// you keep. It must not install or remove a filter on its own link.
typedef bool (*aUserPacketFilterProc)(const aPacket* packet, void* ref);

// Direct links to a module. Each creator returns the link's id, or 0 on failure (the reason is
// not reported), and leaves nothing registered when it fails. A module that has a link of the
// same kind already gets that link with one more use (the same id), whatever address, port or
// path is given now; a link that a link sharing server serves is refused (0, no use added): its
// users connect to the server instead. Creations are serialised, so two threads creating a link
// to the same module get one link between them.

// A link to a USB module by its serial number (through the kernel driver's node when it exists,
// else libusb). It is handed out only once the module has answered the synchronisation burst:
// 0 for a module that does not answer within about 2 s.
aLinkID aLink_CreateUSB(uint32_t serialNumber);

// A link to an Ethernet module over TCP (IPv4 address in network byte order, port in host
// order); no synchronisation, the link reports RUNNING once started.
aLinkID aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipv4, uint16_t port);

// A link to a module on a serial port: 8 data bits, no parity, one stop bit, packets in COBS
// frames with a CRC-8. Rates: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400; 0 for any
// other. No synchronisation.
aLinkID aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate);

// A link over a stream the caller built; the link owns the stream from now on (also when the
// creation fails: the stream is then destroyed). The link is started (threads running, the
// force-route-on packet queued) and carries one use. 0 on failure, leaving nothing registered.
aLinkID aLink_Create(aStream* stream);

// Served and client links. A link sharing server can be put in front of a registered USB,
// TCP/IP or serial device link; the owner then reaches its module through the server too, over
// a client link (type ORVANE) whose stream is a ZeroMQ connection to the server. Client links
// are not synchronised: the server's side keeps the device link in step.

// Serves the device link: a server bound to *networkInterface (IPv4, network byte order; 0 for
// the server's default) and, with localOnly, to loopback only. Learns the module's address and
// model through the server (5 tries 10 ms apart, each query waiting up to 1000 ms), writes the
// server's port to *port and its interface to *networkInterface, and returns the owner's client
// link, which holds the device link's one use: destroying the client link's last use tears down
// the device link and its server too. 0 on failure: when the details cannot be learnt the whole
// pair is gone; when the failure came earlier (no such link, a server already attached, the
// server or client link cannot be made or started) a server that was made stays attached to
// the device link, and the caller's destroy of the device link ends it.
aLinkID aLink_CreateServer(aLinkID deviceLink, uint16_t* port, uint32_t* networkInterface, uint8_t localOnly);

// A client link to the server at ipv4 (network byte order) and port, a new entry every time,
// started with one use; or, with a non-zero reference, one more use of that registered link
// (any type) and its id. 0 when the reference names no link, or the stream cannot be made (an
// invalid address) or the link not started; nothing stays registered then. A server that is
// not there is not noticed here: the link's requests time out.
aLinkID aLink_CreateClient(uint32_t ipv4, uint16_t port, aLinkID reference);

// Drops one use of the link and clears *id in every case. The last use removes the user filter,
// takes the link out of the registry, stops it (the force-route-off frame is written and every
// thread joined), then destroys a link sharing server attached to it and drops one use of a
// link chained to it, and frees everything it owns, stream included. aErrParam when *id names no
// link.
aErr aLink_Destroy(aLinkID* id);

// Stops the link, replaces its stream with a new one of the same kind and starts it again, under
// the same id and use count. USB links open their module again by serial number, TCP/IP links
// connect again to the registered address and port, client links of a link sharing server
// connect again to their server (up to 20 tries, 100 ms apart); the link keeps its user
// filter, packet log and pooling, and what was queued either way is dropped. A USB link is not
// synchronised again here. Serial links and links over a caller's stream cannot be made again:
// they are refused and left running as they were. When the new stream cannot be made or
// started, the link is left without a stream (INVALID_LINK_STREAM) until another reset or its
// destruction.
aErr aLink_Reset(aLinkID id);

// The link's status; INVALID_LINK_STREAM when the id names no link.
int32_t aLink_GetStatus(aLinkID id);

// Queues a copy of the caller's packet for the writer (the caller keeps its packet); on a quiet
// link (nothing queued, nobody writing, pooling off) the packet is written at once on the
// caller's thread instead, in the same order as if queued. Nothing queued is ever thrown away:
// when 1000 packets wait already (the module takes them slower than they come), the put waits up
// to 2 s for the writer to make room; aErrResource when the queue stayed full (this packet was
// not queued; those before it still go).
aErr aLink_PutPacket(aLinkID id, const aPacket* packet);

// aLink_PutPacket of several packets that belong together (the pieces of one request): they go
// out in order with nothing between them, on a quiet link at once on the caller's thread (with
// pooling gathered into as few writes as fit), else queued together with one wake of the writer.
// Waits for room as aLink_PutPacket does; aErrResource when the queue stayed full (the packets
// before the refused one still go); aErrParam, with nothing sent, for an invalid packet or an
// id without a link.
aErr aLink_PutPackets(aLinkID id, const aPacket* const* packets, size_t count);

// Waits until every packet queued before the call has been written to the stream (nothing
// queued, no write in progress): aErrNone then. Unless someone is writing already, the caller
// writes what is queued itself rather than wait for the writer thread. aErrTimeout when the queue did not shrink for
// stallMs (a writer that makes no progress); aErrParam for an id without a link.
aErr aLink_AwaitOutboundWritten(aLinkID id, uint64_t stallMs);

// The oldest received packet (the caller owns it), or null. Never waits.
aPacket* aLink_GetPacket(aLinkID id);

// The oldest received packet, waiting up to timeoutMs for one; null on time-out or for an id
// without a link. The link's status is not consulted.
aPacket* aLink_AwaitPacket(aLinkID id, uint64_t timeoutMs);

// The oldest received packet the predicate accepts, or null. Never waits.
aPacket* aLink_GetFirst(aLinkID id, aPacketFilterProc filter, const void* ref);

// The first received packet the predicate accepts within timeoutMs, for as long as the link
// keeps running with status RUNNING: a link that leaves RUNNING (synchronisation, read error,
// stop) ends the wait within 100 ms. Null otherwise; null at once for a time-out of 0.
aPacket* aLink_AwaitFirst(aLinkID id, aPacketFilterProc filter, const void* ref, uint64_t timeoutMs);

// Frees every received packet the predicate accepts and returns how many; 0 for an id without
// a link.
uint32_t aLink_DrainPackets(aLinkID id, aPacketFilterProc filter, const void* ref);

// Installs (or, with a null filter, removes) the link's user packet filter, replacing any
// previous one. Once this returns, the previous filter is not running and is never called
// again.
aErr aLink_InstallUserPacketFilter(aLinkID id, aUserPacketFilterProc filter, void* ref);

// Switches pooled writes: the writer then gathers as many queued frames as fit into one write of
// up to 4096 bytes.
aErr aLink_EnablePooledPackets(aLinkID id, bool on);

// A packet predicate that accepts every packet (to empty a FIFO).
uint8_t drainAll(const aPacket* packet, const void* ref);
