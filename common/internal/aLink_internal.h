// The link engine record and its controls (internal to the library: link creation, reset and
// destruction, the link sharing server and the packet log use them).
//
// Threads and sharing:
// - Per started link one reader thread (sInPipeProcess) and one writer thread (sOutPipeProcess).
// - status, running, the ready flags, syncState, pooledPackets and the FIFO ids are atomics
//   shared without a lock; status is written by the reader and by the controls, the last write
//   wins. A reset replaces the FIFOs while other threads may be queueing or waiting on them: the
//   old ids then name no FIFO, so those calls fail or end as for a destroyed FIFO.
// - packet, heartbeatState, syncAddress, syncState changes, the burst clock and the delivery
//   counts belong to whoever holds readMutex, which is also the right to read the stream: the
//   reader thread, a caller of aLink_AwaitFirst or aLink_AwaitPacket that reads for its own
//   reply while no user filter is installed, or a caller of aLink_ReadDelivering, which delivers
//   what it reads as the reader thread does, user filter included (the reader thread then naps
//   beside the stream instead of waiting in it). A stop takes readMutex once `running` is
//   cleared, so no caller reads a stream that is about to go.
// - The user filter and its reference are guarded by userFilterMutex; the packet log, its size
//   and every put or get on it by logMutex (made with the record, so the reader and writer can
//   test for a log at any time).
// - Writes to the stream happen under writeMutex, and whoever writes takes the packet from the
//   outbound FIFO while holding it: the writer thread, the final flush of a stop, a caller of
//   aLink_PutPacket or aLink_PutPackets that finds the queue empty and nobody writing (it writes
//   its packets at once instead of waking the writer), and a caller about to wait for its reply
//   that finds queued packets and nobody writing (it writes them instead of waiting for the
//   writer). So frames go out whole and in the order they were queued.
// - Start, stop, the reset's halves and teardown of one link are serialised by controlMutex, and
//   each of them checks the record's validity again once it holds the lock: a teardown clears
//   the check word under it, so a control that comes late finds the record finished.
// - Lifetime: the record belongs to its registry entry, which is shared-owned (see the
//   registry). Every operation by id holds the record (aLink_Hold) for its whole length, so a
//   destroy that races it finishes the engine (threads joined, FIFOs, stream and packet gone)
//   but the memory and the locks live until the last operation returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/aLink.h"
#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/packetfifo.h"

struct aPacketLog;
struct aServer;

constexpr uint16_t aLINK_CHECK = 0xCEED;

// Synchronisation states: what the next received byte must be.
enum : uint32_t {
  kSyncStateIdle = 0,   // nothing expected (in step, or not started)
  kSyncStateStart = 1,  // any byte restarts synchronisation
  kSyncStateByte1 = 2,  // a non-zero even byte: the module's address
  kSyncStateByte2 = 3,  // 0x00
  kSyncStateByte3 = 4,  // the same address again
  kSyncStateByte4 = 5,  // 0x00
};

struct aLink {
  std::atomic<uint16_t> check{0};
  aLinkID id = 0;
  std::atomic<bool> running{false};
  std::atomic<int32_t> status{STOPPED};
  std::atomic<aPacketFifoID> inboundFifo{0};
  aPacket* packet = nullptr;
  std::atomic<aPacketFifoID> outboundFifo{0};
  aThread* readerThread = nullptr;
  aThread* writerThread = nullptr;
  aThreadProc readerProc = nullptr;
  aThreadProc writerProc = nullptr;
  std::atomic<bool> readerReady{false};
  std::atomic<bool> writerReady{false};
  aStream* stream = nullptr;
  uint32_t heartbeatState = 0;  // 0 idle; 2 answering an up heartbeat; 3 a down one
  std::atomic<uint32_t> syncState{kSyncStateIdle};
  uint8_t syncAddress = 0;
  std::atomic<aPacketLog*> packetLog{nullptr};
  uint32_t logSize = 0;  // requested log capacity in bytes; 0 = the default
  aMutex* logMutex = nullptr;
  aUserPacketFilterProc userFilter = nullptr;
  void* userFilterRef = nullptr;
  aMutex* userFilterMutex = nullptr;
  std::atomic<bool> pooledPackets{false};
  aMutex* controlMutex = nullptr;
  uint64_t lastBurstMs = 0;       // monotonic time of the last burst, 0 before the first
  uint64_t packetsDelivered = 0;  // received packets delivered so far
  uint64_t delivererSeen = 0;     // packetsDelivered when the last aLink_ReadDelivering ended
  std::mutex writeMutex;
  std::mutex readMutex;
  std::atomic<bool> filterInstalled{false};     // userFilter is set (written under its mutex)
  std::atomic<uint64_t> lastCallerReadMs{0};    // monotonic time a caller last tried to read
  std::atomic<bool> readerInStreamWait{false};  // the reader thread waits in the stream, holding it
  std::atomic<bool> callerReading{false};       // a caller holds the stream
  std::atomic<uint64_t> lastPooledPutMs{0};     // monotonic time a caller last queued with pooling
  std::atomic<bool> writerNapping{false};       // the writer looks at its queue in short naps

  // The locks outlive aLink_Finish: an operation that still holds the record may take them.
  ~aLink() {
    for (aMutex** lock : {&logMutex, &userFilterMutex, &controlMutex})
      if (*lock) aMutex_Destroy(lock);
  }
};

inline bool aVALIDLINK(const aLink* link) { return link != nullptr && link->check == aLINK_CHECK; }

// The engine record of a registered link, or null when the id names no link. The bare pointer:
// only for callers that know the link outlives their use (tests, the link's own owner).
aLink* aLink_Lookup(aLinkID id);

// Shared ownership of a registered link's valid engine record for the length of one operation,
// or null when the id names no link.
std::shared_ptr<aLink> aLink_Hold(aLinkID id);

// Fills the entry's engine record: STOPPED with a stream (the record owns it from now on),
// INVALID_LINK_STREAM without; new FIFOs, assembly packet and locks; no threads, no filter, no
// packet log, pooling off. The id, or 0 when the id names no entry or engine record, when the
// record is initialised already (aLink_Finish it first), or when the record's resources cannot
// be made (nothing is kept then; the caller still owns the stream).
aLinkID aLink_Init(aLinkID id, aStream* stream);

// Starts the reader and writer and queues force-route on; succeeds once both threads run and the
// link reports RUNNING (at once for a link already running). Threads are given 2 s to get ready;
// those made before a failure keep running until the stop.
aErr aLink_Start(aLinkID id);

// Stops the link without any registry lookup, so it also works on an entry already taken out
// of the registry. Queues force-route off, ends and joins every thread that was started, and
// writes whatever is still queued (force-route off included) before it returns, also when the
// writer never started. Succeeds at once when already stopped or stopping.
aErr aLink_Stop(aLink* link);

// Asks the reader to synchronise again and waits up to 2 s for RUNNING; then discards the rest
// of the burst still queued outbound and, 100 ms later, the late answers queued inbound.
// aErrNotReady when no synchronisation completed in time (the link keeps trying), and at once
// for a link that is not started.
aErr aLink_Sync(aLinkID id);

// Queues the force-route frame [0xAF][0x01][on] for the writer, waiting for room as
// aLink_PutPacket does.
aErr aLink_ForceRoute(aLinkID id, uint8_t on);

// The user filter control of aLink_InstallUserPacketFilter on the record itself (the destroy
// road removes the filter of an entry it has already taken out of the registry).
aErr aLink_SetUserPacketFilter(aLink* link, aUserPacketFilterProc filter, void* ref);

// A reset's two halves. Dropping stops the link and destroys both FIFOs and the stream; the
// record keeps its assembly packet, locks, user filter, packet log and pooling, and reports
// INVALID_LINK_STREAM; it is refused (aErrBusy) while a thread of the link still runs. Attaching
// gives a record without a stream the stream and new FIFOs: STOPPED, ready for aLink_Start; it is
// refused (aErrBusy) when the record has a stream. The record owns an attached stream; on
// failure the caller still owns it.
aErr aLink_DropTransport(aLink* link);
aErr aLink_AttachTransport(aLink* link, aStream* stream);

// Releases everything the engine owns, stopping it first if it still runs: both FIFOs, the
// assembly packet, the packet log and the stream; clears the check word. A failed reset that
// left no FIFO is no error. The locks stay with the record until it is freed; the record itself
// stays allocated (it belongs to the registry entry) and can be initialised again.
aErr aLink_Finish(aLink* link);

// Puts the packet's wire frame into the link's log (tag aPACKETLOG_SENT or aPACKETLOG_RECEIVED)
// when the link has an enabled log; failures are ignored. Called by the reader and writer.
void aLink_RecordPacket(aLink* link, uint8_t tag, const aPacket* packet);

// Raw queries over a running link; each consumes the first packet received after it asked,
// whatever that is. The module's address: an empty packet to cmdMAGIC, answered by an empty
// packet from the module's address. The model code: the system entity's model option read at
// the module's address. aErrTimeout without an answer within 1000 ms; aErrIO when another packet
// came first.
namespace aLinkInternal {
aErr _aLink_GetModuleAddress(aLinkID id, uint8_t* address);
aErr _aLink_GetModel(aLinkID id, uint8_t address, uint8_t* model);

// Tells the server the module's address and model, asked over the client link so the questions
// travel through the server: each is passed on whatever the outcome (0 when its query failed;
// the model is asked only once the address is known). 0 when both were learnt; otherwise the
// server drops the requests it holds, so a late answer cannot pair with a later request, and
// the first failure is returned.
aErr _aLink_ConfigureServerDetails(aLinkID client, aServer* server);
}  // namespace aLinkInternal
