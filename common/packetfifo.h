// Thread-safe packet FIFOs named by 64-bit ids. Producers put copies of their packets in;
// consumers take the oldest packet, wait for one, or pick, wait for or discard the packets a
// predicate accepts. Every packet handed out is a new copy owned by the caller; every packet
// handed in stays the caller's. Any thread may call any operation.
//
// An id names its FIFO until aPacketFifo_Destroy; afterwards every operation on it behaves as for
// an id that was never made. A FIFO holds at most 1000 packets: the 1001st put discards the
// whole backlog, its own packet included (the put still succeeds), so a consumer that falls
// behind loses everything queued at once, never a single packet out of the middle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"

// Handed out in increasing order from 1, never reused; 0 means no FIFO.
typedef uint64_t aPacketFifoID;

// A caller's packet predicate: non-zero when the packet matches. It runs on the calling thread
// with the FIFO's lock held and sees the stored packet itself: it must not keep the pointer,
// change the packet, or call into the same FIFO. A null predicate matches nothing.
typedef uint8_t (*aPacketFilterProc)(const aPacket* packet, const void* ref);

constexpr size_t aPACKETFIFO_MAX_ENTRIES = 1000;

// A new, empty FIFO; 0 when it cannot be made.
aPacketFifoID aPacketFifo_Create();

// A new, empty FIFO that never discards: a put into it while it holds aPACKETFIFO_MAX_ENTRIES
// packets fails with aErrResource (the producer sees it) instead of emptying it. For queues
// whose every packet must go out (a link's outbound queue). 0 when it cannot be made.
aPacketFifoID aPacketFifo_CreateRefusingOverflow();

// Empties the FIFO, wakes every waiter (they return null unless they already found a packet),
// forgets the id and clears the caller's copy; an id that names no FIFO is left as it was
// (aErrNotFound).
aErr aPacketFifo_Destroy(aPacketFifoID* id);

// Appends a copy of the packet and wakes the waiters.
aErr aPacketFifo_Put(aPacketFifoID id, const aPacket* packet);

// Appends a copy of the packet without ever discarding anything: when the FIFO holds
// aPACKETFIFO_MAX_ENTRIES packets already, waits up to timeoutMs (0: not at all) for a consumer
// to take one, and wakes the waiters once the packet is in. For a producer that must not lose
// what it queued. aErrResource when the FIFO is still full at the deadline (nothing was queued);
// a FIFO destroyed during the wait refuses the packet too.
aErr aPacketFifo_PutWaiting(aPacketFifoID id, const aPacket* packet, uint64_t timeoutMs);

// aPacketFifo_PutWaiting of several packets, kept together and in order: they are appended under
// one hold of the FIFO's lock, each waiting up to timeoutMs for room as aPacketFifo_PutWaiting
// does (waking the waiters first), and the waiters are woken once more at the end. aErrResource
// when one of them found no room in time: those before it are queued, it and the rest are not. aErrParam, with nothing
// queued, when one of them is invalid.
aErr aPacketFifo_PutSeveralWaiting(aPacketFifoID id, const aPacket* const* packets, size_t count, uint64_t timeoutMs);

// aPacketFifo_PutWaiting that wakes the waiters only once the FIFO holds wakeAt packets or
// more: for a producer whose consumer looks at the FIFO on its own before long, unless much
// piles up.
aErr aPacketFifo_PutWaitingQuietly(aPacketFifoID id, const aPacket* packet, uint64_t timeoutMs, size_t wakeAt);

// The oldest packet, removed; null when empty or for an unknown id. Never waits.
aPacket* aPacketFifo_Get(aPacketFifoID id);

// Up to most of the oldest packets, removed in order into packets (the caller owns them); how
// many. Never waits; 0 for an unknown id.
size_t aPacketFifo_GetSeveral(aPacketFifoID id, aPacket** packets, size_t most);

// The oldest packet, waiting up to timeoutMs (UINT64_MAX waits for ever) on a monotonic clock.
// Null on time-out, for an unknown id, or when the FIFO is destroyed during the wait.
aPacket* aPacketFifo_Await(aPacketFifoID id, uint64_t timeoutMs);

// Waits up to timeoutMs for the FIFO to hold a packet, without taking it: true when it holds one
// (at once when it does already); false on time-out, for an unknown id, or when the FIFO is
// destroyed during the wait.
bool aPacketFifo_AwaitAny(aPacketFifoID id, uint64_t timeoutMs);

// The oldest packet the predicate accepts, removed; null when none does. Never waits.
aPacket* aPacketFifo_GetFirst(aPacketFifoID id, aPacketFilterProc filter, const void* ref);

// The first packet the predicate accepts, waiting up to timeoutMs for one to arrive. Each packet
// present at the call or arriving during it is offered to the predicate at most once per call.
// Null on time-out, for an unknown id, or when the FIFO is destroyed during the wait.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoID id, aPacketFilterProc filter, const void* ref, uint64_t timeoutMs);

// Offers every packet to the predicate once, frees the accepted ones (the others keep their
// order) and returns how many it removed; 0 for an unknown id.
size_t aPacketFifo_DrainPackets(aPacketFifoID id, aPacketFilterProc filter, const void* ref);

// The number of packets held; 0 for an unknown id.
size_t aPacketFifo_GetLength(aPacketFifoID id);
