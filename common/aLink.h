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

// A link over a stream the caller built; the link owns the stream from now on (also when the
// creation fails: the stream is then destroyed). The link is started (threads running, the
// force-route-on packet queued) and carries one use. 0 on failure, leaving nothing registered.
aLinkID aLink_Create(aStream* stream);

// Drops one use of the link and clears *id in every case. The last use removes the user filter,
// takes the link out of the registry, stops it (the force-route-off frame is written and every
// thread joined), destroys an attached link sharing server and frees everything it owns, stream
// included. 0, or aErrParam when *id names no link (or id is null), or the result of destroying
// the outbound FIFO on the last use, or aErrUnknown for an entry without an engine.
aErr aLink_Destroy(aLinkID* id);

// The link's status; INVALID_LINK_STREAM when the id names no link.
int32_t aLink_GetStatus(aLinkID id);

// Queues a copy of the caller's packet for the writer (the caller keeps its packet). 0;
// aErrParam for an id without a link or an invalid packet; aErrResource when the FIFO is full.
aErr aLink_PutPacket(aLinkID id, const aPacket* packet);

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
// again. 0; aErrParam for an id without a link.
aErr aLink_InstallUserPacketFilter(aLinkID id, aUserPacketFilterProc filter, void* ref);

// Switches pooled writes: the writer then gathers as many queued frames as fit into one write of
// up to 4096 bytes. 0; aErrParam for an id without a link.
aErr aLink_EnablePooledPackets(aLinkID id, bool on);

// A packet predicate that accepts every packet (to empty a FIFO).
uint8_t drainAll(const aPacket* packet, const void* ref);
