#include "common/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

// One stored packet and its sequence id within its FIFO.
class SerialPacket {
 public:
  SerialPacket(int64_t id, PacketPtr packet) : id_(id), packet_(std::move(packet)) {}
  int64_t getId() const { return id_; }
  const aPacket* getPacket() const { return packet_.get(); }
  aPacket* release() { return packet_.release(); }

 private:
  int64_t id_;
  PacketPtr packet_;
};

// Shared-owned: the dictionary holds one reference and every operation in progress another, so
// a destroyed FIFO lives until the last operation that found it returns.
struct packetFifo {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::condition_variable roomMade;  // for producers waiting on a full FIFO
  int roomWaiters = 0;
  std::deque<SerialPacket> entries;  // arrival order
  std::atomic<bool> valid{true};
  bool refusesOverflow = false;         // set at creation: a full FIFO refuses a put instead of emptying
  std::atomic<int64_t> windowStart{0};  // id of the front entry, or nextId when empty
  std::atomic<int64_t> nextId{0};
};
using FifoRef = std::shared_ptr<packetFifo>;
using Clock = std::chrono::steady_clock;

std::atomic<aPacketFifoID> gpSequentialId{1};

// Leaked on purpose: threads still running while the process exits may use the FIFOs.
std::mutex& sDictionaryMutex() {
  static auto* gpPacketFifoDictionaryMutex = new std::mutex;
  return *gpPacketFifoDictionaryMutex;
}
std::map<aPacketFifoID, FifoRef>& sDictionary() {
  static auto* gpPacketFifoDictionary = new std::map<aPacketFifoID, FifoRef>;
  return *gpPacketFifoDictionary;
}

FifoRef sFindInDictionary(aPacketFifoID id) {
  std::lock_guard lock(sDictionaryMutex());
  const auto found = sDictionary().find(id);
  return found != sDictionary().end() ? found->second : nullptr;
}

// The FIFOs this thread found last. A link's threads use the same two FIFOs for every packet,
// and a request and its reply cost several lookups: a hit spares the process-wide dictionary
// lock. Ids are never drawn twice, and a FIFO that is destroyed is marked invalid, after which
// it is looked up in the dictionary again (and not found).
struct sRecentFifos {
  static constexpr size_t kSlots = 4;
  aPacketFifoID ids[kSlots] = {};
  FifoRef fifos[kSlots];
  size_t next = 0;
};
thread_local sRecentFifos tRecentFifos;

FifoRef sFind(aPacketFifoID id) {
  sRecentFifos& recent = tRecentFifos;
  for (size_t slot = 0; slot < sRecentFifos::kSlots; ++slot)
    if (recent.ids[slot] == id && recent.fifos[slot] && recent.fifos[slot]->valid) return recent.fifos[slot];
  FifoRef found = sFindInDictionary(id);
  if (!found) return nullptr;
  const size_t slot = recent.next++ % sRecentFifos::kSlots;
  recent.ids[slot] = id;
  recent.fifos[slot] = found;
  return found;
}

aPacketFifoID sDrawId() {
  aPacketFifoID id;
  do {
    id = gpSequentialId.fetch_add(1);
  } while (id == 0);
  return id;
}

// now + timeoutMs, saturated so that a huge time-out means no deadline at all.
Clock::time_point sDeadline(uint64_t timeoutMs) {
  const auto now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (timeoutMs >= static_cast<uint64_t>(room.count())) return Clock::time_point::max();
  return now + std::chrono::milliseconds(timeoutMs);
}

// Sleeps until wakeUp() holds or the deadline passes, testing it once more after the deadline.
// A deadline already reached tests once and never sleeps: a timed wait that has expired still
// costs a system call and the timer's slack (tens of microseconds), which a get of an empty FIFO
// must not pay.
template <typename Condition>
bool sWaitUntil(packetFifo& fifo, std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Condition wakeUp) {
  if (wakeUp()) return true;
  if (deadline <= Clock::now()) return false;
  if (deadline == Clock::time_point::max()) {
    fifo.changed.wait(lock, wakeUp);
    return true;
  }
  return fifo.changed.wait_until(lock, deadline, wakeUp);
}

void sUpdateWindow(packetFifo& fifo) {
  fifo.windowStart = fifo.entries.empty() ? fifo.nextId.load() : fifo.entries.front().getId();
}

// After entries went: a producer waiting for room may go on.
void sRoomMade(packetFifo& fifo) {
  if (fifo.roomWaiters > 0) fifo.roomMade.notify_all();
}

// Hands the caller the entry's packet (the FIFO's own copy, made at the put) and erases the entry.
aPacket* sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator entry) {
  aPacket* copy = entry->release();
  fifo.entries.erase(entry);
  sUpdateWindow(fifo);
  sRoomMade(fifo);
  return copy;
}

bool sAccepts(aPacketFilterProc filter, const void* ref, const SerialPacket& entry) {
  return filter && filter(entry.getPacket(), ref) != 0;
}

void sDiscardAll(packetFifo& fifo) {
  fifo.entries.clear();
  fifo.windowStart = fifo.nextId.load();
  sRoomMade(fifo);
}

// After a put: wakes the consumers once the lock is released, so that a woken consumer does not
// run straight into the lock still held (the caller's reference keeps the FIFO alive).
void sWakeWaiters(packetFifo& fifo, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  fifo.changed.notify_all();
}

// Appends the copy under the FIFO's lock; false when the queue cannot grow.
bool sAppend(packetFifo& fifo, PacketPtr copy) {
  try {
    fifo.entries.emplace_back(fifo.nextId.load(), std::move(copy));
  } catch (...) {
    return false;
  }
  ++fifo.nextId;
  sUpdateWindow(fifo);
  return true;
}

// Waits until the FIFO has room or is destroyed, at most until the deadline; true with room.
bool sAwaitRoom(packetFifo& fifo, std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  const auto room = [&] { return fifo.entries.size() < aPACKETFIFO_MAX_ENTRIES || !fifo.valid; };
  if (room()) return fifo.valid;
  if (deadline <= Clock::now()) return false;
  ++fifo.roomWaiters;
  if (deadline == Clock::time_point::max()) fifo.roomMade.wait(lock, room);
  else fifo.roomMade.wait_until(lock, deadline, room);
  --fifo.roomWaiters;
  return fifo.valid && fifo.entries.size() < aPACKETFIFO_MAX_ENTRIES;
}

aPacketFifoID sCreate(bool refusesOverflow) {
  try {
    auto fifo = std::make_shared<packetFifo>();
    fifo->refusesOverflow = refusesOverflow;
    std::lock_guard lock(sDictionaryMutex());
    const aPacketFifoID id = sDrawId();
    sDictionary().emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

}  // namespace

aPacketFifoID aPacketFifo_Create() { return sCreate(false); }

aPacketFifoID aPacketFifo_CreateRefusingOverflow() { return sCreate(true); }

aErr aPacketFifo_Destroy(aPacketFifoID* id) {
  if (!id) return aErrParam;
  try {
    FifoRef fifo;
    {
      std::lock_guard lock(sDictionaryMutex());
      const auto found = sDictionary().find(*id);
      if (found == sDictionary().end()) return aErrNotFound;
      fifo = std::move(found->second);
      sDictionary().erase(found);
    }
    std::lock_guard lock(fifo->mutex);
    sDiscardAll(*fifo);
    fifo->valid = false;
    fifo->changed.notify_all();
    *id = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(aPacketFifoID id, const aPacket* packet) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    std::unique_lock lock(fifo->mutex);
    if (!fifo->valid) return aErrParam;
    if (fifo->refusesOverflow && fifo->entries.size() >= aPACKETFIFO_MAX_ENTRIES) return aErrResource;
    if (!sAppend(*fifo, std::move(copy))) return aErrResource;
    if (fifo->entries.size() > aPACKETFIFO_MAX_ENTRIES) {
      sDiscardAll(*fifo);
      return aErrNone;
    }
    sWakeWaiters(*fifo, lock);
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aErr aPacketFifo_PutWaitingQuietly(aPacketFifoID id, const aPacket* packet, uint64_t timeoutMs, size_t wakeAt) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock lock(fifo->mutex);
    if (!sAwaitRoom(*fifo, lock, deadline)) return fifo->valid ? aErrResource : aErrParam;
    if (!sAppend(*fifo, std::move(copy))) return aErrResource;
    if (fifo->entries.size() >= wakeAt) sWakeWaiters(*fifo, lock);
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aErr aPacketFifo_PutSeveralWaiting(aPacketFifoID id, const aPacket* const* packets, size_t count, uint64_t timeoutMs) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo || (count && !packets)) return aErrParam;
    std::vector<PacketPtr> copies;
    copies.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      copies.emplace_back(aVALIDPACKET(packets[i]) ? aPacket_Copy(packets[i]) : nullptr);
      if (!copies.back()) return aErrParam;
    }
    std::unique_lock lock(fifo->mutex);
    aErr result = aErrNone;
    for (size_t i = 0; i < count && result == aErrNone; ++i) {
      // Waiting for room, the consumer must know of what is queued already: it may be asleep.
      // Each packet waits for its own room: a batch larger than the FIFO goes in at the pace
      // the consumer takes it.
      if (fifo->entries.size() >= aPACKETFIFO_MAX_ENTRIES) fifo->changed.notify_all();
      if (!sAwaitRoom(*fifo, lock, sDeadline(timeoutMs))) result = fifo->valid ? aErrResource : aErrParam;
      else if (!sAppend(*fifo, std::move(copies[i]))) result = aErrResource;
    }
    if (!fifo->entries.empty()) sWakeWaiters(*fifo, lock);
    return result;
  } catch (...) {
    return aErrResource;
  }
}

// A put that wakes a waiter at once: the queue holds at least the one packet just put.
aErr aPacketFifo_PutWaiting(aPacketFifoID id, const aPacket* packet, uint64_t timeoutMs) {
  return aPacketFifo_PutWaitingQuietly(id, packet, timeoutMs, 1);
}

aPacket* aPacketFifo_Get(aPacketFifoID id) { return aPacketFifo_Await(id, 0); }

size_t aPacketFifo_GetSeveral(aPacketFifoID id, aPacket** packets, size_t most) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo || !packets) return 0;
    std::lock_guard lock(fifo->mutex);
    size_t taken = 0;
    while (taken < most && !fifo->entries.empty()) packets[taken++] = sTake(*fifo, fifo->entries.begin());
    return taken;
  } catch (...) {
    return 0;
  }
}

aPacket* aPacketFifo_Await(aPacketFifoID id, uint64_t timeoutMs) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock lock(fifo->mutex);
    sWaitUntil(*fifo, lock, deadline, [&] { return !fifo->entries.empty() || !fifo->valid; });
    return fifo->entries.empty() ? nullptr : sTake(*fifo, fifo->entries.begin());
  } catch (...) {
    return nullptr;
  }
}

bool aPacketFifo_AwaitAny(aPacketFifoID id, uint64_t timeoutMs) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo) return false;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock lock(fifo->mutex);
    sWaitUntil(*fifo, lock, deadline, [&] { return !fifo->entries.empty() || !fifo->valid; });
    return !fifo->entries.empty();
  } catch (...) {
    return false;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoID id, aPacketFilterProc filter, const void* ref) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo) return nullptr;
    std::lock_guard lock(fifo->mutex);
    const auto match = std::find_if(fifo->entries.begin(), fifo->entries.end(),
                                    [&](const SerialPacket& entry) { return sAccepts(filter, ref, entry); });
    return match != fifo->entries.end() ? sTake(*fifo, match) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoID id, aPacketFilterProc filter, const void* ref, uint64_t timeoutMs) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock lock(fifo->mutex);
    // Entries up to this id were offered already in this call; every wake-up looks only past it,
    // so no entry is offered twice however often the waiter wakes.
    int64_t lastExamined = fifo->windowStart - 1;
    auto match = fifo->entries.end();
    const auto findUnexamined = [&] {
      for (auto entry = fifo->entries.begin(); entry != fifo->entries.end(); ++entry) {
        if (entry->getId() <= lastExamined) continue;
        lastExamined = entry->getId();
        if (sAccepts(filter, ref, *entry)) return entry;
      }
      return fifo->entries.end();
    };
    sWaitUntil(*fifo, lock, deadline, [&] {
      match = findUnexamined();
      return match != fifo->entries.end() || !fifo->valid;
    });
    return match != fifo->entries.end() ? sTake(*fifo, match) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(aPacketFifoID id, aPacketFilterProc filter, const void* ref) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo || !filter) return 0;
    std::lock_guard lock(fifo->mutex);
    const size_t removed =
        std::erase_if(fifo->entries, [&](const SerialPacket& entry) { return sAccepts(filter, ref, entry); });
    sUpdateWindow(*fifo);
    if (removed > 0) sRoomMade(*fifo);
    return removed;
  } catch (...) {
    return 0;
  }
}

size_t aPacketFifo_GetLength(aPacketFifoID id) {
  try {
    const FifoRef fifo = sFind(id);
    if (!fifo) return 0;
    std::lock_guard lock(fifo->mutex);
    return fifo->entries.size();
  } catch (...) {
    return 0;
  }
}
