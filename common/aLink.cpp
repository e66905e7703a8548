#include "common/aLink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/aDefs.h"
#include "common/aLinkServing.h"
#include "common/aPacketLog.h"
#include "common/aStream.h"
#include "common/aTime.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"

namespace {

// The longest the reader sleeps waiting for input, so that a stop or a synchronisation request
// is noticed within this time: a stop ends within 100 ms on every transport (no transport's get
// waits longer than 10 ms).
constexpr uint32_t kReadWaitMs = 80;
// Pause after a failed read before the next one.
constexpr uint32_t kReadErrorPauseMs = 100;
// Bursts are sent at most this often: an answer may take this long before a new burst replaces
// it, and a peer that keeps sending garbage cannot drive the burst rate up.
constexpr uint64_t kSyncBurstIntervalMs = 100;
constexpr int kSyncBurstLength = 6;
// How long the writer sleeps on an empty outbound FIFO before it looks at `running` again.
constexpr uint64_t kWriterWaitMs = 1000;
// With pooling, while callers queue packets, the writer is not woken for each of them: a caller
// that waits for an answer writes what it queued itself (sFlushForCaller), and the writer looks
// at the queue in naps of this length for the rest, until callers have queued nothing for the
// window. Pooled packets wait a nap at most, and are gathered the better for it.
constexpr uint64_t kWriterNapMs = 1;
constexpr uint64_t kPooledPutWindowMs = 50;
// Pooled writes: the buffer, and the most it may hold before another frame is added (so that a
// frame of up to 30 bytes always fits).
constexpr size_t kPoolBufferSize = 4096;
constexpr size_t kPoolFillLimit = kPoolBufferSize - aPACKET_MAX_FRAME;
constexpr size_t kFramesPerPooledWrite = kPoolBufferSize / aPACKET_MAX_FRAME;
// Start and synchronisation poll their condition this many times, this far apart.
constexpr int kControlChecks = 200;
constexpr uint32_t kControlCheckMs = 10;
// The late answers to a burst are given this long before they are discarded.
constexpr uint32_t kSyncSettleMs = 100;
// The outbound FIFO never discards what it holds: a caller's put into a full one waits this long
// for the writer to make room before it fails. Packets the reader queues itself (bursts,
// heartbeat answers) do not wait: the reader must go on reading.
constexpr uint64_t kOutboundRoomWaitMs = 2000;
constexpr uint64_t kNoWait = 0;
// aLink_AwaitOutboundWritten looks at the outbound queue this often.
constexpr uint32_t kOutboundPollMs = 5;
// aLink_AwaitFirst looks at the link's status at least this often.
constexpr uint64_t kAwaitSliceMs = 100;
// A caller that waits for its reply reads the stream itself (see sReadForReply). While callers
// have done so lately, the reader thread does not sit in the stream's wait, where it would hold
// the stream: it looks for input in naps of this length, and goes back to waiting in the
// stream once callers have left it alone for the window.
constexpr uint32_t kStepAsideNapMs = 1;
constexpr uint64_t kStepAsideWindowMs = 50;
// A caller refused the stream (the reader thread waits in it) asks again this soon: more often
// than the window, so that the reader, back from its wait, finds that callers read lately and
// steps aside, and is still aside when the caller asks next.
constexpr uint64_t kStreamAskAgainMs = kStepAsideWindowMs / 2;

constexpr size_t kMutexNameSize = 255;

// ---- writing ----------------------------------------------------------------------------------

void sWriteFrame(aLink* link, const aPacket* packet) {
  uint8_t frame[aPACKET_MAX_FRAME];
  size_t length = 0;
  if (aPacket_GetBytes(packet, frame, sizeof frame, &length) != aErrNone) return;
  aStream_Write(link->stream, reinterpret_cast<const char*>(frame), length);  // errors: dropped
}

// Appends the packet's frame to a pool buffer at `used`, where a whole frame of
// aPACKET_MAX_FRAME bytes always has room (every pooled write keeps it): the data go whole, a
// fixed size copied in a few moves, and only the frame's own bytes are counted. An invalid packet
// adds nothing.
size_t sAppendFrame(uint8_t* buffer, size_t used, const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAX_DATA) return used;
  buffer[used] = packet->address;
  buffer[used + 1] = packet->dataSize;
  std::memcpy(buffer + used + 2, packet->data, aPACKET_MAX_DATA);
  return used + packet->dataSize + 2;
}

// One pooled write of what is queued: frames appended while the buffer holds at most
// kPoolFillLimit, taken as many at a time as surely fit, until the queue gives fewer than asked
// for. Only the filled part of the buffer is written, so it is not cleared first. The first packet
// taken, which the packet log records, goes to the caller with the number taken; null when
// nothing was queued.
aPacket* sWritePooled(aLink* link, size_t* count) {
  uint8_t buffer[kPoolBufferSize];
  aPacket* taken[kFramesPerPooledWrite];
  aPacket* first = nullptr;
  size_t used = 0;
  *count = 0;
  while (used <= kPoolFillLimit) {
    const size_t room = (kPoolBufferSize - used) / aPACKET_MAX_FRAME;
    const size_t got = aPacketFifo_GetSeveral(link->outboundFifo, taken, room);
    for (size_t i = 0; i < got; ++i) {
      used = sAppendFrame(buffer, used, taken[i]);
      if (first) aPacket_Destroy(&taken[i]);
      else first = taken[i];
    }
    *count += got;
    if (got < room) break;
  }
  if (first) aStream_Write(link->stream, reinterpret_cast<const char*>(buffer), used);
  return first;
}

// Writes every packet still queued, one write each: what a stop leaves behind, the
// force-route-off packet above all.
void sFlushOutbound(aLink* link) {
  std::lock_guard hold(link->writeMutex);
  while (aPacket* packet = aPacketFifo_Get(link->outboundFifo)) {
    sWriteFrame(link, packet);
    aPacket_Destroy(&packet);
  }
}

// One write of the oldest queued packet (with pooling, of as many as fit), with the write lock
// held; the number of packets written, 0 when nothing was queued.
size_t sWriteOldest(aLink* link) {
  size_t count = 1;
  const bool pooled = link->pooledPackets;
  aPacket* packet = pooled ? sWritePooled(link, &count) : aPacketFifo_Get(link->outboundFifo);
  if (!packet) return 0;
  if (!pooled) sWriteFrame(link, packet);
  aLink_RecordPacket(link, aPACKETLOG_SENT, packet);
  aPacket_Destroy(&packet);
  return count;
}

void sWriteQueued(aLink* link) {
  std::lock_guard hold(link->writeMutex);
  sWriteOldest(link);  // nothing when a caller wrote it already
}

bool sPooledPutsLately(const aLink* link) {
  return link->pooledPackets && aTime_GetMonotonicMSTicks() - link->lastPooledPutMs < kPooledPutWindowMs;
}

// Napping or not, decided so that a put never goes quietly to a writer in its long wait: the
// flag is cleared before the puts' clock is read again (a put sets the clock, then reads the
// flag).
bool sWriterNaps(aLink* link) {
  if (sPooledPutsLately(link)) return link->writerNapping = true;
  link->writerNapping = false;
  return link->writerNapping = sPooledPutsLately(link);
}

void* sOutPipeProcess(void* argument) {
  auto* link = static_cast<aLink*>(argument);
  link->writerReady = true;
  while (link->running)
    if (aPacketFifo_AwaitAny(link->outboundFifo, sWriterNaps(link) ? kWriterNapMs : kWriterWaitMs)) sWriteQueued(link);
  sFlushOutbound(link);
  return nullptr;
}

// A caller's pooled packet is queued without waking a napping writer, unless the queue holds a
// full pooled write already: a producer that keeps queueing must not wait for naps.
aErr sQueuePooled(aLink* link, const aPacket* packet) {
  link->lastPooledPutMs = aTime_GetMonotonicMSTicks();
  if (link->writerNapping)
    return aPacketFifo_PutWaitingQuietly(link->outboundFifo, packet, kOutboundRoomWaitMs, kFramesPerPooledWrite);
  return aPacketFifo_PutWaiting(link->outboundFifo, packet, kOutboundRoomWaitMs);
}

// Writes the frames as the writer would had they been queued together: with pooling gathered
// into writes of up to kPoolBufferSize (the first frame of each write logged), else one write
// and one log record each.
void sWriteBatch(aLink* link, const aPacket* const* packets, size_t count) {
  if (!link->pooledPackets) {
    for (size_t i = 0; i < count; ++i) {
      sWriteFrame(link, packets[i]);
      aLink_RecordPacket(link, aPACKETLOG_SENT, packets[i]);
    }
    return;
  }
  uint8_t buffer[kPoolBufferSize];
  for (size_t next = 0; next < count;) {
    const aPacket* first = packets[next];
    size_t used = 0;
    do {
      used = sAppendFrame(buffer, used, packets[next]);
    } while (++next < count && used <= kPoolFillLimit);
    aStream_Write(link->stream, reinterpret_cast<const char*>(buffer), used);
    aLink_RecordPacket(link, aPACKETLOG_SENT, first);
  }
}

// Packets for a quiet link go out on their caller's thread: with nothing queued before them and
// nobody writing, the caller writes them at once and the writer thread is not woken for them
// (one wake-up less per request). Not while the link is not running (a stop's flush, or no
// stream). True when written.
bool sWriteDirect(aLink* link, const aPacket* const* packets, size_t count) {
  if (!link->running || !link->writerReady) return false;
  std::unique_lock hold(link->writeMutex, std::try_to_lock);
  // `running` again under the lock: a stop clears it before its flush takes the lock, and the
  // stream goes only after that flush.
  if (!hold.owns_lock() || !link->running || aPacketFifo_GetLength(link->outboundFifo) != 0) return false;
  sWriteBatch(link, packets, count);
  return true;
}

// A caller about to wait for what it sent writes what is queued itself, gathered as the writer
// would gather it, unless someone is writing already: its packets need not wait for the writer
// thread to wake.
void sWriteQueuedForCaller(aLink* link) {
  if (!link->running) return;
  const size_t queued = aPacketFifo_GetLength(link->outboundFifo);
  if (queued == 0) return;
  std::unique_lock hold(link->writeMutex, std::try_to_lock);
  if (!hold.owns_lock() || !link->running) return;  // as in sWriteDirect
  // What was queued when the caller looked, no more: others may go on queueing, and the writer
  // thread is theirs.
  for (size_t left = queued; left > 0;) {
    const size_t written = sWriteOldest(link);
    if (written == 0) break;
    left -= std::min(left, written);
  }
}

// With pooling, what a caller queued may wait for a napping writer: the caller writes it.
void sFlushForCaller(aLink* link) {
  if (link->pooledPackets) sWriteQueuedForCaller(link);
}

// ---- queueing control packets -----------------------------------------------------------------

aErr sQueue(aLink* link, uint8_t address, uint8_t dataSize, const uint8_t* data, uint64_t roomWaitMs) {
  aPacket* packet = aPacket_CreateWithData(address, dataSize, data);
  if (!packet) return aErrMemory;
  const aErr queued = aPacketFifo_PutWaiting(link->outboundFifo, packet, roomWaitMs);
  aPacket_Destroy(&packet);
  return queued;
}

aErr sQueueForceRoute(aLink* link, uint8_t on, uint64_t roomWaitMs) {
  const uint8_t data[1] = {on};
  return sQueue(link, cmdFORCEROUTE, 1, data, roomWaitMs);
}

// ---- synchronisation --------------------------------------------------------------------------

bool sBurstDue(const aLink* link, uint64_t now) {
  return link->lastBurstMs == 0 || now - link->lastBurstMs >= kSyncBurstIntervalMs;
}

// Restarts synchronisation: status SYNCING, the partial packet dropped, and a burst of six empty
// packets to cmdMAGIC, each answered by the module with an empty packet from its own address.
// Within kSyncBurstIntervalMs of the last burst no new one is sent: the reader then listens for
// the answers still coming to that one.
void sStartSync(aLink* link) {
  link->status = SYNCING;
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->packet);
  const uint64_t now = aTime_GetMonotonicMSTicks();
  if (!sBurstDue(link, now)) {
    link->syncState = kSyncStateByte1;
    return;
  }
  // A burst that cannot be queued leaves state 1: the next byte or silence retries it.
  link->lastBurstMs = now;
  static const uint8_t kNoData = 0;
  for (int i = 0; i < kSyncBurstLength; ++i)
    if (sQueue(link, cmdMAGIC, 0, &kNoData, kNoWait) != aErrNone) return;
  link->syncState = kSyncStateByte1;
}

// One received byte while SYNCING. The module's answer is A, 0x00, A, 0x00.
void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState.load()) {
    case kSyncStateByte1:
      if (byte == 0 || (byte & 1)) return sStartSync(link);
      link->syncAddress = byte;
      link->syncState = kSyncStateByte2;
      return;
    case kSyncStateByte2:
      link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      return;
    case kSyncStateByte3:
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      return;
    case kSyncStateByte4:
      if (byte != 0) {
        link->syncState = kSyncStateStart;
        return;
      }
      link->syncState = kSyncStateIdle;
      link->status = RUNNING;
      return;
    default:  // kSyncStateStart, kSyncStateIdle
      return sStartSync(link);
  }
}

// ---- receiving --------------------------------------------------------------------------------

// Answers a heartbeat [A][2][0][n] with [A][2][0][n + 2]; true when the packet was one (it is
// consumed). A heartbeat whose answer cannot be made leaves the state busy, and from then on
// heartbeats are ordinary packets until the next start or stop.
bool sHandleHBBackChannel(aLink* link, const aPacket* packet) {
  if (!aPacket_IsHeartbeat(packet) || link->heartbeatState > 1) return false;
  if (packet->data[1] == 0) link->heartbeatState = 2;
  if (packet->data[1] == 1) link->heartbeatState = 3;
  const uint8_t answer[2] = {0x00, static_cast<uint8_t>(packet->data[1] + 2)};
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  if (!reply) return true;
  aPacketFifo_PutWaiting(link->outboundFifo, reply, kNoWait);  // a full queue: this answer is lost
  link->heartbeatState = 0;
  aPacket_Destroy(&reply);
  return true;
}

bool sOfferToUserFilter(aLink* link, const aPacket* packet) {
  if (aMutex_Lock(link->userFilterMutex) != aErrNone) return false;
  const bool consumed = link->userFilter && link->userFilter(packet, link->userFilterRef);
  aMutex_Unlock(link->userFilterMutex);
  return consumed;
}

// Raises the flag for its own lifetime.
class sFlag {
 public:
  explicit sFlag(std::atomic<bool>& flag) : _flag(flag) { _flag = true; }
  ~sFlag() { _flag = false; }
  sFlag(const sFlag&) = delete;
  sFlag& operator=(const sFlag&) = delete;

 private:
  std::atomic<bool>& _flag;
};

// A caller reading the stream: for its own reply (the predicate it waits with, and a copy of the
// first packet that predicate accepted, handed to the caller without passing the inbound FIFO),
// or, as a deliverer, for whatever comes, which it delivers as the reader thread would.
struct sClaim {
  aPacketFilterProc filter;
  const void* ref;
  aPacket* packet = nullptr;
  bool deliverer = false;
  bool delivered = false;  // a deliverer's packet came (it stops there)
};

bool sClaims(sClaim* claim, const aPacket* packet) {
  if (!claim || claim->packet || !claim->filter || !claim->filter(packet, claim->ref)) return false;
  claim->packet = aPacket_Copy(packet);
  return claim->packet != nullptr;
}

// Delivers the assembly packet once it is complete: log, user filter, heartbeat answer, the
// reading caller's claim, inbound FIFO. The FIFO's result (0 when the packet went elsewhere or
// is not complete yet).
aErr sHandlePacket(aLink* link, sClaim* claim) {
  aPacket* packet = link->packet;
  if (!aPacket_IsComplete(packet)) return aErrNone;
  aLink_RecordPacket(link, aPACKETLOG_RECEIVED, packet);
  ++link->packetsDelivered;
  if (claim) claim->delivered = true;
  aErr result = aErrNone;
  if (!sOfferToUserFilter(link, packet) && !sHandleHBBackChannel(link, packet) && !sClaims(claim, packet))
    result = aPacketFifo_Put(link->inboundFifo, packet);
  aPacket_Reset(packet);
  return result;
}

void sTakeByte(aLink* link, uint8_t byte, sClaim* claim) {
  if (link->status == SYNCING) return sSyncByte(link, byte);
  if (aPacket_AddByte(link->packet, byte) != aErrNone || (link->packet->address & 1)) return sStartSync(link);
  if (sHandlePacket(link, claim) != aErrNone) link->status = UNKNOWN_ERROR;
}

// A caller reads only a link in step without a user filter: synchronisation and filters are the
// reader thread's (a filter runs there, never on a caller that may hold the filter's locks). A
// deliverer is the exception: it holds none of them, so it also runs the filter.
bool sCallerMayRead(const aLink* link) { return link->running && link->status == RUNNING && !link->filterInstalled; }
bool sDelivererMayRead(const aLink* link) { return link->running && link->status == RUNNING; }
bool sClaimMayRead(const aLink* link, const sClaim* claim) {
  return claim->deliverer ? sDelivererMayRead(link) : sCallerMayRead(link);
}
bool sClaimMet(const sClaim* claim) { return claim->packet || (claim->deliverer && claim->delivered); }

// Takes what the stream has now, with the read lock held, until it has nothing (aErrNotReady),
// a read fails (that code) or the link stops; a reading caller also stops once its claim is
// met or it may read no more (aErrNone then). Bytes it leaves are the reader thread's.
aErr sTakeInput(aLink* link, sClaim* claim) {
  while (link->running) {
    char byte = 0;
    const aErr read = aStream_Read(link->stream, &byte, 1);
    if (read != aErrNone) return read;
    sTakeByte(link, static_cast<uint8_t>(byte), claim);
    if (claim && (sClaimMet(claim) || !sClaimMayRead(link, claim))) break;
  }
  return aErrNone;
}

// The reading caller's wait for input, at most until the deadline; false once the deadline has
// passed or the stream fails (the link then leaves RUNNING: the reader pauses).
bool sAwaitInputForReply(aLink* link, uint64_t deadline) {
  const uint64_t now = aTime_GetMonotonicMSTicks();
  if (now >= deadline) return false;
  const aErr waited =
      aStream_WaitReadable(link->stream, static_cast<uint32_t>(std::min<uint64_t>(deadline - now, kReadWaitMs)));
  if (waited == aErrNone || waited == aErrTimeout) return true;
  link->status = IO_ERROR;
  return false;
}

// The read lock for a caller, unless the stream is not free for it. Held by the reader thread
// between two naps, it is free again in a moment; held in the stream's wait, or by another
// caller, it may stay taken for a slice. Asking tells the reader thread to nap beside the stream
// from its next turn on.
std::unique_lock<std::mutex> sTakeStreamForCaller(aLink* link) {
  link->lastCallerReadMs = aTime_GetMonotonicMSTicks();  // also when the reader holds the stream now
  std::unique_lock hold(link->readMutex, std::try_to_lock);
  if (!hold.owns_lock() && (link->readerInStreamWait || link->callerReading)) return {};
  if (!hold.owns_lock()) hold.lock();
  return hold;
}

// The waiting caller reads the stream itself while nobody else holds it, so that its reply
// reaches it without a hand-over from the reader thread, whose wake-up would cost more than
// the round trip itself. Every other packet read meanwhile is delivered as the reader thread
// delivers it. Reads until the deadline, a reply, or the link leaving the state in which callers
// may read. False when the stream is not free for the caller: it waits on the inbound FIFO.
bool sReadForReply(aLink* link, aPacketFilterProc filter, const void* ref, uint64_t deadline, aPacket** found) {
  if (!sCallerMayRead(link)) return false;
  const std::unique_lock hold = sTakeStreamForCaller(link);
  if (!hold.owns_lock()) return false;
  if (!sCallerMayRead(link)) return true;
  const sFlag reading(link->callerReading);
  // Queued before the caller took the stream (while it holds it, only it delivers).
  *found = aPacketFifo_GetFirst(link->inboundFifo, filter, ref);
  sClaim claim{filter, ref};
  // The reply to a request just sent is seldom there yet: where the transport allows it, the
  // caller waits before its first read, which would only have found nothing.
  for (bool waitFirst = aStream_WaitsBeforeRead(link->stream); !*found && sCallerMayRead(link); waitFirst = true) {
    if (waitFirst && !sAwaitInputForReply(link, deadline)) break;
    const aErr read = sTakeInput(link, &claim);
    *found = claim.packet;
    if (read != aErrNone && read != aErrNotReady) link->status = IO_ERROR;  // the reader pauses
    if (read != aErrNotReady) break;
  }
  return true;
}

// A deliverer reads the stream on its own thread while nobody else holds it, delivering every
// packet as the reader thread does (log, user filter, heartbeat answer, inbound FIFO): what the
// stream has now and, while that holds no packet, what comes within waitMs. It stops after the
// first packet it delivered. It waits only when nobody else delivered a packet since its last
// call: the reader thread may have delivered what the deliverer is after between two calls.
// aErrBusy when the stream was not free for it (the reader thread delivers then), aErrNotReady
// when the link is not in step, else what the read came to.
aErr sReadDelivering(aLink* link, uint32_t waitMs) {
  if (!sDelivererMayRead(link)) return aErrNotReady;
  const std::unique_lock hold = sTakeStreamForCaller(link);
  if (!hold.owns_lock()) return aErrBusy;
  if (!sDelivererMayRead(link)) return aErrNotReady;
  const sFlag reading(link->callerReading);
  const bool othersDelivered = link->packetsDelivered != link->delivererSeen;
  sClaim claim{nullptr, nullptr, nullptr, true};
  aErr read = sTakeInput(link, &claim);
  if (read == aErrNotReady && !claim.delivered && !othersDelivered && waitMs > 0) {
    read = aStream_WaitReadable(link->stream, waitMs);
    if (read == aErrNone) read = sTakeInput(link, &claim);
  }
  link->delivererSeen = link->packetsDelivered;
  if (read == aErrNotReady || read == aErrTimeout) return aErrNone;
  if (read != aErrNone) link->status = IO_ERROR;  // the reader pauses
  return read;
}

bool sCallersReadLately(const aLink* link) {
  return aTime_GetMonotonicMSTicks() - link->lastCallerReadMs < kStepAsideWindowMs;
}

// Nothing waiting: a link that is synchronising (or failing) sends a new burst once the last one
// has had its time.
void sBurstIfDue(aLink* link) {
  const int32_t status = link->status;
  if ((status == SYNCING || status == IO_ERROR) && sBurstDue(link, aTime_GetMonotonicMSTicks())) sStartSync(link);
}

// One turn of the reader thread: the input there is now, then a wait for more, in the stream
// (holding it) or, while callers read for their replies, in a nap beside it.
void sReaderTurn(aLink* link) {
  std::unique_lock hold(link->readMutex, std::try_to_lock);
  if (!hold.owns_lock()) {  // a caller reads
    aTime_MSSleep(kStepAsideNapMs);
    return;
  }
  aErr failed = sTakeInput(link, nullptr);
  if (failed == aErrNotReady) {
    sBurstIfDue(link);
    if (sCallersReadLately(link)) {
      hold.unlock();
      aTime_MSSleep(kStepAsideNapMs);
      return;
    }
    aErr waited;
    {
      const sFlag inWait(link->readerInStreamWait);
      waited = aStream_WaitReadable(link->stream, kReadWaitMs);
    }
    failed = waited == aErrTimeout ? aErrNone : waited;
  }
  if (failed == aErrNone) return;
  link->status = IO_ERROR;
  hold.unlock();
  aTime_MSSleep(kReadErrorPauseMs);
}

void* sInPipeProcess(void* argument) {
  auto* link = static_cast<aLink*>(argument);
  {
    std::lock_guard hold(link->readMutex);
    link->heartbeatState = 0;
    link->syncAddress = 1;
    link->readerReady = true;
    link->syncState = kSyncStateIdle;
    link->status = RUNNING;
  }
  while (link->running) sReaderTurn(link);
  return nullptr;
}

// ---- controls ---------------------------------------------------------------------------------

// Polls the condition while the link runs; false at once when a stop (or a teardown) ends it.
bool sWaitForCondition(bool (*condition)(const aLink*), const aLink* link) {
  for (int check = 0; check < kControlChecks && link->running; ++check) {
    if (condition(link)) return true;
    aTime_MSSleep(kControlCheckMs);
  }
  return false;
}

bool sStarted(const aLink* link) { return link->readerReady && link->writerReady && link->status == RUNNING; }
bool sInStep(const aLink* link) { return link->status == RUNNING; }

// Joins the thread if it was started; false when the join failed.
bool sJoin(aThread** thread) { return !*thread || aThread_Destroy(thread) == 0; }

aMutex* sMakeNamedMutex(const char* format, const aLink* link) {
  char name[kMutexNameSize];
  std::snprintf(name, sizeof name, format, static_cast<const void*>(link));
  return aMutex_Create(name);
}

// Destroys the FIFO the id names, if any, and clears the id.
aErr sDestroyFifo(std::atomic<aPacketFifoID>& fifo) {
  aPacketFifoID id = fifo.exchange(0);
  return id ? aPacketFifo_Destroy(&id) : aErrNone;
}

// Everything but the locks, which stay with the record (see ~aLink).
void sReleaseResources(aLink* link) {
  sDestroyFifo(link->inboundFifo);
  if (link->packet) aPacket_Destroy(&link->packet);
  const bool logLocked = link->logMutex && aMutex_Lock(link->logMutex) == aErrNone;
  aPacketLog* log = link->packetLog.exchange(nullptr);
  if (logLocked) aMutex_Unlock(link->logMutex);
  aPacketLog_Destroy(&log);
}

// Makes the lock unless the record has it from an earlier life.
bool sEnsureMutex(aMutex** lock, const char* format, const aLink* link) {
  if (!*lock) *lock = sMakeNamedMutex(format, link);
  return *lock != nullptr;
}

class sControlLock {
 public:
  explicit sControlLock(aLink* link) : _mutex(link->controlMutex) { aMutex_Lock(_mutex); }
  ~sControlLock() { aMutex_Unlock(_mutex); }
  sControlLock(const sControlLock&) = delete;
  sControlLock& operator=(const sControlLock&) = delete;

 private:
  aMutex* _mutex;
};

// Waits in slices for the first packet the predicate accepts, reading the stream itself where
// it may, else on the inbound FIFO; with whileRunning only for as long as the link runs in step.
aPacket* sAwait(aLink* link, aPacketFilterProc filter, const void* ref, uint64_t timeoutMs, bool whileRunning) {
  sFlushForCaller(link);
  const uint64_t start = aTime_GetMonotonicMSTicks();
  const uint64_t deadline = timeoutMs > UINT64_MAX - start ? UINT64_MAX : start + timeoutMs;
  // A reset or teardown replaces or destroys the FIFO: the wait ends as on a destroyed FIFO.
  const aPacketFifoID inbound = link->inboundFifo;
  const auto mayWait = [&] {
    return inbound && link->inboundFifo == inbound && (!whileRunning || (link->running && link->status == RUNNING));
  };
  for (uint64_t now = start; mayWait() && now < deadline; now = aTime_GetMonotonicMSTicks()) {
    const uint64_t slice = std::min(deadline - now, kAwaitSliceMs);
    aPacket* found = nullptr;
    if (sReadForReply(link, filter, ref, now + slice, &found)) {
      if (found) return found;
      continue;
    }
    if ((found = aPacketFifo_AwaitFirst(inbound, filter, ref, std::min(slice, kStreamAskAgainMs)))) return found;
  }
  return nullptr;
}

}  // namespace

aLink* aLink_Lookup(aLinkID id) {
  aLink* link = sGetLink(id);
  return aVALIDLINK(link) ? link : nullptr;
}

std::shared_ptr<aLink> aLink_Hold(aLinkID id) {
  std::shared_ptr<aLink> link = sHoldLink(id);
  if (!aVALIDLINK(link.get())) return nullptr;
  return link;  // moved, not copied
}

aLinkID aLink_Init(aLinkID id, aStream* stream) {
  aLink* link = sGetLink(id);
  if (!link || aVALIDLINK(link)) return 0;
  link->id = id;
  link->running = false;
  link->status = stream ? STOPPED : INVALID_LINK_STREAM;
  link->stream = stream;
  link->readerThread = link->writerThread = nullptr;
  link->inboundFifo = aPacketFifo_Create();
  link->outboundFifo = aPacketFifo_CreateRefusingOverflow();
  link->readerProc = sInPipeProcess;
  link->writerProc = sOutPipeProcess;
  link->readerReady = link->writerReady = false;
  link->heartbeatState = 0;
  link->syncState = kSyncStateIdle;
  link->packet = aPacket_Create();
  link->packetLog = nullptr;
  link->logSize = 0;
  link->pooledPackets = false;
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  link->filterInstalled = false;
  const bool locks = sEnsureMutex(&link->logMutex, "LOG_SEMA_%p", link) &&
                     sEnsureMutex(&link->userFilterMutex, "aLink(%p)->userFilterSema", link) &&
                     sEnsureMutex(&link->controlMutex, "aLink(%p)->controlSema", link);
  link->lastBurstMs = 0;
  if (!link->inboundFifo || !link->outboundFifo || !link->packet || !locks) {
    sDestroyFifo(link->outboundFifo);
    sReleaseResources(link);
    link->stream = nullptr;
    return 0;
  }
  link->check = aLINK_CHECK;
  return id;
}

aErr aLink_Start(aLinkID id) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link) return aErrParam;
  {
    sControlLock hold(link.get());  // the stream is read under the lock: a reset may be replacing it
    if (!aVALIDLINK(link.get()) || !link->stream) return aErrParam;
    if (link->running) return aErrNone;
    link->running = true;
    link->status = INITIALIZING;
    link->heartbeatState = 0;
    link->readerReady = link->writerReady = false;
    link->lastBurstMs = 0;
    link->readerThread = aThread_Create(link->readerProc, link.get());
    if (!link->readerThread) return aErrResource;
    link->writerThread = aThread_Create(link->writerProc, link.get());
    if (!link->writerThread) return aErrResource;
  }
  if (!sWaitForCondition(sStarted, link.get())) return aErrIndexRange;
  return aLink_ForceRoute(id, 1);
}

namespace {

// aLink_Stop with the control lock held.
aErr sStopLocked(aLink* link) {
  const int32_t status = link->status;
  if (status == STOPPING || status == STOPPED) return aErrNone;
  if (!link->running && !link->readerThread && !link->writerThread) return aErrNone;  // never started
  link->status = STOPPING;
  // `running` goes first so the writer cannot begin a new 1 s wait: the force-route packet put
  // right after wakes a writer that is waiting already, and whatever the writer does not take
  // is written below once both threads are gone.
  link->running = false;
  // The writer is ending: it cannot make room in a full queue. Force-route off then goes after
  // the backlog, once the flush below has emptied the queue.
  aErr result = sQueueForceRoute(link, 0, kNoWait);
  const bool routeOffQueued = result == aErrNone;
  const bool readerJoined = sJoin(&link->readerThread);
  const bool writerJoined = sJoin(&link->writerThread);
  if (!readerJoined || !writerJoined) result = aErrUnknown;
  sFlushOutbound(link);
  if (!routeOffQueued) {
    const aErr late = sQueueForceRoute(link, 0, kNoWait);
    sFlushOutbound(link);
    if (result != aErrUnknown) result = late;
  }
  // A caller still reading for its reply sees `running` cleared at its next wait (at most
  // kReadWaitMs): once it has let go of the stream, nobody reads it any more.
  std::lock_guard readers(link->readMutex);
  link->readerReady = link->writerReady = false;
  aPacket_Reset(link->packet);
  link->status = STOPPED;
  link->heartbeatState = 0;
  return result;
}

}  // namespace

aErr aLink_Stop(aLink* link) {
  if (!aVALIDLINK(link)) return aErrParam;
  sControlLock hold(link);
  return aVALIDLINK(link) ? sStopLocked(link) : aErrParam;
}

aErr aLink_Sync(aLinkID id) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link) return aErrParam;
  if (!link->running) return aErrNotReady;  // no reader to synchronise
  link->status = SYNCING;
  const aErr result = sWaitForCondition(sInStep, link.get()) ? aErrNone : aErrNotReady;
  aPacketFifo_DrainPackets(link->outboundFifo, drainAll, nullptr);
  aTime_MSSleep(kSyncSettleMs);
  aPacketFifo_DrainPackets(link->inboundFifo, drainAll, nullptr);
  return result;
}

aErr aLink_ForceRoute(aLinkID id, uint8_t on) {
  const aLinkEntryRef entry = sHoldEntry(id);
  if (!entry) return aErrNotFound;
  if (!aVALIDLINK(entry->link)) return aErrParam;
  return sQueueForceRoute(entry->link, on, kOutboundRoomWaitMs);
}

aErr aLink_SetUserPacketFilter(aLink* link, aUserPacketFilterProc filter, void* ref) {
  if (!aVALIDLINK(link) || aMutex_Lock(link->userFilterMutex) != aErrNone) return aErrParam;
  link->userFilter = filter;
  link->userFilterRef = filter ? ref : nullptr;
  link->filterInstalled = filter != nullptr;
  aMutex_Unlock(link->userFilterMutex);
  return aErrNone;
}

aErr aLink_DropTransport(aLink* link) {
  if (!aVALIDLINK(link)) return aErrParam;
  sControlLock hold(link);
  if (!aVALIDLINK(link)) return aErrParam;
  sStopLocked(link);
  if (link->running || link->readerThread || link->writerThread) return aErrBusy;
  link->status = INVALID_LINK_STREAM;
  sDestroyFifo(link->inboundFifo);
  sDestroyFifo(link->outboundFifo);
  if (link->stream) aStream_Destroy(&link->stream);
  return aErrNone;
}

aErr aLink_AttachTransport(aLink* link, aStream* stream) {
  if (!aVALIDLINK(link) || !stream) return aErrParam;
  sControlLock hold(link);
  if (!aVALIDLINK(link)) return aErrParam;
  if (link->stream) return aErrBusy;
  aPacketFifoID inbound = aPacketFifo_Create();
  aPacketFifoID outbound = aPacketFifo_CreateRefusingOverflow();
  if (!inbound || !outbound) {
    if (inbound) aPacketFifo_Destroy(&inbound);
    if (outbound) aPacketFifo_Destroy(&outbound);
    return aErrResource;
  }
  link->inboundFifo = inbound;
  link->outboundFifo = outbound;
  link->stream = stream;
  link->heartbeatState = 0;
  link->syncState = kSyncStateIdle;
  link->lastBurstMs = 0;
  aPacket_Reset(link->packet);
  link->status = STOPPED;
  return aErrNone;
}

aErr aLink_Finish(aLink* link) {
  if (!aVALIDLINK(link)) return aErrParam;
  sControlLock hold(link);
  if (!aVALIDLINK(link)) return aErrParam;
  sStopLocked(link);
  link->check = 0;
  const aErr result = sDestroyFifo(link->outboundFifo);
  sReleaseResources(link);
  aStream_Destroy(&link->stream);
  return result;
}

int32_t aLink_GetStatus(aLinkID id) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  return link ? link->status.load() : INVALID_LINK_STREAM;
}

aErr aLink_PutPacket(aLinkID id, const aPacket* packet) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link || !aVALIDPACKET(packet)) return aErrParam;
  // Pooling gathers what callers queue one by one: a lone packet waits for its fellows.
  if (!link->pooledPackets && sWriteDirect(link.get(), &packet, 1)) return aErrNone;
  if (link->pooledPackets) return sQueuePooled(link.get(), packet);
  return aPacketFifo_PutWaiting(link->outboundFifo, packet, kOutboundRoomWaitMs);
}

aErr aLink_PutPackets(aLinkID id, const aPacket* const* packets, size_t count) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link || (count && !packets)) return aErrParam;
  for (size_t i = 0; i < count; ++i)
    if (!aVALIDPACKET(packets[i])) return aErrParam;
  if (count == 0 || sWriteDirect(link.get(), packets, count)) return aErrNone;
  return aPacketFifo_PutSeveralWaiting(link->outboundFifo, packets, count, kOutboundRoomWaitMs);
}

aErr aLink_AwaitOutboundWritten(aLinkID id, uint64_t stallMs) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link) return aErrParam;
  sWriteQueuedForCaller(link.get());
  size_t queued = aPacketFifo_GetLength(link->outboundFifo);
  uint64_t progressAt = aTime_GetMonotonicMSTicks();
  while (queued != 0) {
    aTime_MSSleep(kOutboundPollMs);
    const size_t now = aPacketFifo_GetLength(link->outboundFifo);
    if (now < queued) progressAt = aTime_GetMonotonicMSTicks();
    else if (aTime_GetMonotonicMSTicks() - progressAt >= stallMs) return aErrTimeout;
    queued = now;
  }
  // The last packet leaves the queue before its write: that write ends under the write lock.
  std::lock_guard written(link->writeMutex);
  return aErrNone;
}

aPacket* aLink_GetPacket(aLinkID id) { return aLink_AwaitPacket(id, 0); }

aPacket* aLink_AwaitPacket(aLinkID id, uint64_t timeoutMs) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link) return nullptr;
  if (timeoutMs == 0) return aPacketFifo_Get(link->inboundFifo);
  return sAwait(link.get(), drainAll, nullptr, timeoutMs, false);
}

aPacket* aLink_GetFirst(aLinkID id, aPacketFilterProc filter, const void* ref) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  return link ? aPacketFifo_GetFirst(link->inboundFifo, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkID id, aPacketFilterProc filter, const void* ref, uint64_t timeoutMs) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  return link && timeoutMs > 0 ? sAwait(link.get(), filter, ref, timeoutMs, true) : nullptr;
}

uint32_t aLink_DrainPackets(aLinkID id, aPacketFilterProc filter, const void* ref) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  return link ? static_cast<uint32_t>(aPacketFifo_DrainPackets(link->inboundFifo, filter, ref)) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkID id, aUserPacketFilterProc filter, void* ref) {
  return aLink_SetUserPacketFilter(aLink_Hold(id).get(), filter, ref);
}

aErr aLink_EnablePooledPackets(aLinkID id, bool on) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link) return aErrParam;
  link->pooledPackets = on;
  return aErrNone;
}

bool aLink_DescribeUnserved(aLinkID id, uint32_t* type, uint32_t* serialNumber) {
  const aLinkEntryRef entry = sHoldEntry(id);
  if (!entry || entry->server || !aVALIDLINK(entry->link) || !type || !serialNumber) return false;
  *type = entry->type;
  *serialNumber = entry->identifiers[0];
  return true;
}

aErr aLink_OfferPacket(aLinkID id, const aPacket* packet) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  if (!link) return aErrParam;
  // An idle link takes it on the caller's thread, the writer thread not woken for it.
  if (!link->pooledPackets && sWriteDirect(link.get(), &packet, 1)) return aErrNone;
  return aPacketFifo_Put(link->outboundFifo, packet);
}

aErr aLink_ReadDelivering(aLinkID id, uint32_t waitMs) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);
  return link ? sReadDelivering(link.get(), waitMs) : aErrParam;
}

uint8_t drainAll(const aPacket*, const void*) { return 1; }
