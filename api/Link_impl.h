// The private part of a Link (internal to the object layer): the device link in use, the
// settings, the name and the specifier, and the helpers that create and wait for device links.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/Link.h"
#include "api/LocklessQueue.h"
#include "common/aLogger.h"
#include "common/discover.h"

namespace Tarnwick::Quillfern {

// Whether the runs of one subscription's callback may still start: cleared when the
// subscription goes (unsubscribed, rolled back, replaced, the Link destroyed), after which its
// queued runs are dropped.
using StreamRunToken = std::shared_ptr<std::atomic<bool>>;

// One entry of a Link's stream table: a subscription (some element of its key 0xFF, with the
// callback, which may be empty) or a cached value (a concrete key, no callback).
struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0;  // a sample was stored since the value was last read
  Link::StreamCallback callback;
  void* ref = nullptr;
  uint32_t value = 0;
  StreamRunToken live;  // with a callback: its runs may start
};

// One queued callback run. The packet copy belongs to whoever holds the record in the ring; the
// callback thread frees it after the run.
struct asyncPacket {
  Link::StreamCallback callback;
  void* ref = nullptr;
  aPacket* packet = nullptr;
  StreamRunToken live;
};

// What the callback thread shares with the Link: its stop flag and the lock it holds for each run
// from the look at the run's token to the callback's return. Shared, so that a thread left
// running by a Link destroyed from its own callback never touches the Link again.
struct StreamCallbackControl {
  std::atomic<bool> stop{false};
  std::mutex runLock;
};

// Late replies (LinkReplies.cpp). Called just before a request of this kind (a number naming its
// reply: the same for requests whose replies look alike) is queued on the device link: discards
// the queued packets the reply predicate accepts for the match record, unless another request of
// the same kind still waits for its reply there. waitMs: how long its own wait will last.
void replyOrderBeforeRequest(aLinkID link, uint64_t kind, aPacketFilterProc filter, const void* match, uint64_t waitMs);
// Called when the wait for a reply of this kind has ended (taken or not).
void replyOrderAfterWait(aLinkID link, uint64_t kind);

// Owners of the core's objects a Link keeps: each frees its object through the core's own call.
struct LoggerDelete {
  void operator()(aLogger* logger) const { aLogger_Destroy(&logger); }
};
using LoggerPtr = std::unique_ptr<aLogger, LoggerDelete>;
struct LinkSpecDelete {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using LinkSpecPtr = std::unique_ptr<linkSpec, LinkSpecDelete>;

struct Link::impl {
  impl(Link* owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  // Keeps a copy; refused (the old copy stays) while connected.
  aErr setSpecifier(const linkSpec& spec);
  const linkSpec* getSpecifier() const { return specifier.get(); }
  const char* getName() const { return hasName ? name.c_str() : nullptr; }

  // Makes the device link for the specifier under the settings, holding the process-wide
  // creation lock: linkId receives it, or 0 when none was made (a creator's failure is not an
  // error here). linkId on entry is the reference a client link may share; it never stays
  // behind unless a use of it was taken. Refuses a networked type with networking off and an
  // unknown type.
  aErr linkCreateHelper(const linkSpec& spec);
  // Finds the module and connects the link to it.
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link* link);
  // Polls the device link's status every 10 ms, count times at most, until it runs.
  aErr waitForLink(uint16_t count);
  // linkCreateHelper for the stored specifier, then waitForLink(200).
  aErr connectHelper();
  bool connected() const;

  // Streams. Lock order: the device link's user-filter lock, then the table of filters shared
  // by Links on one device link, then streamMutex; filters are installed and removed holding
  // none of these.
  // Joins (on) or leaves (off) the stream filter of the device link; joining the first starts the
  // callback thread, leaving clears the table. aErrConnection without a device link.
  aErr installStreamFilter(bool on);
  // Pushes a run of the entry's callback with a copy of the packet; dropped when the ring is full.
  void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
  // The callback thread: runs queued callbacks whose subscription still stands until the stop
  // flag is set, looking at it between runs without waiting; an empty ring is polled every 1 ms.
  static void asyncWork(Tarnwick::LocklessQueue_SPSC<asyncPacket>* queue, StreamCallbackControl* control);
  // No run of these tokens' callbacks starts once this returns, and one in progress has ended
  // (unless this is called from it). Called without streamMutex.
  void retireRuns(const std::vector<StreamRunToken>& tokens);
  // Leaves the filter, empties the table and ends the callback thread (unless called on it):
  // what giving up the device link and destruction do, with or without a device link.
  void dropStreams();
  // Forgets every cached value (the subscriptions stay): the device link started afresh.
  void forgetCachedValues();
  bool onCallbackThread() const { return callbackThreadId.load() == std::this_thread::get_id(); }
  void startCallbackThread();
  void stopCallbackThread();

  // Writes out what the device link's packet log still holds and stops the logger: before the
  // device link is given up.
  void finishPacketLog();

  // The logger thread's callback: one record of the device link's packet log, as a line of the
  // file; a short pause when there is none to take (or the link is gone).
  static void readDebugBuffer(void* file, uint32_t id);

  Link* owner;
  aLinkID linkId = 0;
  LoggerPtr logger;        // freed with the members, once the destructor has given up the device link
  aLinkID loggerLink = 0;  // the device link whose packet log the logger drains
  OrvaneConfig config;
  bool hasName = false;
  std::string name;  // at most kMaxNameLength characters
  LinkSpecPtr specifier;

  std::map<uint64_t, StreamEntry> streams;  // guarded by streamMutex
  std::mutex streamMutex;
  // The ring of queued runs, shared with the callback thread: a thread that outlives its Link
  // (destroyed from its own callback) owns all it still touches, the ring and its control.
  std::shared_ptr<Tarnwick::LocklessQueue_SPSC<asyncPacket>> streamQueue =
      std::make_shared<Tarnwick::LocklessQueue_SPSC<asyncPacket>>(kStreamQueueSlots);
  // The callback thread and its control, started and stopped under streamControl (never taken
  // on the callback thread itself, so a stop may wait for the thread while holding it); a fresh
  // control for every thread.
  std::mutex streamControl;
  std::thread streamThread;
  std::shared_ptr<StreamCallbackControl> callbackControl;
  std::atomic<std::thread::id> callbackThreadId{};
  std::atomic<uint64_t> droppedRuns{0};  // callback runs the full ring had no room for
  aLinkID filterLink = 0;                // the device link whose stream filter this Link has joined; 0: none

  static constexpr uint32_t kStreamQueueSlots = 500;

  static constexpr size_t kMaxNameLength = 1024;
};

}  // namespace Tarnwick::Quillfern
