// Link's stream subscriptions: stream keys and samples, the reader thread's stream filter, the
// callback thread, and the requests that start and stop a module's streams.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "api/Link.h"
#include "api/Link_impl.h"
#include "common/aDefs.h"
#include "common/aTime.h"
#include "common/aUEI.h"

namespace Tarnwick::Quillfern {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr uint32_t kIdlePollMs = 1;
constexpr uint8_t kGenericMasks = 15;

// The exact data length of a sample of each kind (0: never a sample).
bool _checkStreamSampleLength(size_t length, Link::STREAM_PACKET kind) {
  static constexpr size_t kLengths[] = {0, 14, 15, 17, 0, 15, 16, 18};
  return kind < std::size(kLengths) && kLengths[kind] != 0 && length == kLengths[kind];
}

// The elements wildcarded by the bits of i + 1: bit 0 index, 1 option, 2 command, 3 subindex.
uint64_t _getGenericStreamKeyMask(uint8_t i) {
  if (i >= kGenericMasks) return 0;
  const unsigned bits = i + 1u;
  uint64_t mask = 0;
  if (bits & 1) mask |= 0xFFull;
  if (bits & 2) mask |= 0xFFull << 8;
  if (bits & 4) mask |= 0xFFull << 16;
  if (bits & 8) mask |= 0xFFull << 32;
  return mask;
}

uint64_t _receivedKey(const aPacket* packet, Link::STREAM_PACKET kind) {
  const uint8_t subindex = Link::isSubindexType(kind) ? packet->data[4] : 0;
  return Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & UEI_OPTION_MASK,
                               packet->data[2] & UEI_INDEX_MASK, subindex);
}

bool _matches(uint64_t key, uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  const uint8_t wanted[] = {module, command, option, index, subindex};
  for (uint32_t element = 0; element < std::size(wanted); ++element)
    if (wanted[element] != kAny && wanted[element] != Link::getStreamKeyElement(key, Link::STREAM_KEY(element)))
      return false;
  return true;
}

bool _isSubscription(uint64_t key) {
  for (uint32_t element = 0; element <= Link::STREAM_KEY_SUBINDEX; ++element)
    if (Link::getStreamKeyElement(key, Link::STREAM_KEY(element)) == kAny) return true;
  return false;
}

// ---- the stream filter shared by the Links of one device link ----------------------------------
//
// A device link has one user filter. Every Link that subscribes on it joins the same filter,
// which offers each packet to all of them, so that no Link replaces or removes another's.

struct StreamHub {
  std::mutex mutex;  // taken by the reader thread inside the user filter, before streamMutex
  std::vector<Link::impl*> members;
};

// Serialises joining and leaving, and the installs and removals that go with them. Never taken
// by the reader thread.
std::mutex sHubChange;
std::map<aLinkID, std::unique_ptr<StreamHub>> sHubs;

bool sDispatchToMembers(const aPacket* packet, void* ref) {
  auto* hub = static_cast<StreamHub*>(ref);
  std::lock_guard lock(hub->mutex);
  bool consumed = false;
  for (Link::impl* member : hub->members) consumed = Link::linkStreamFilter(packet, member) || consumed;
  return consumed;
}

void _removeMember(StreamHub& hub, Link::impl* member) {
  std::lock_guard lock(hub.mutex);
  std::erase(hub.members, member);
}

// Takes the member out of its hub; the last member removes the filter from the device link
// (after which no reader thread can be inside it, as the removal waits for the user-filter lock).
aErr _leaveHub(Link::impl* member) {
  if (!member->filterLink) return aErrNone;
  const auto found = sHubs.find(member->filterLink);
  aErr result = aErrNone;
  if (found != sHubs.end()) {
    _removeMember(*found->second, member);
    bool empty;
    {
      std::lock_guard lock(found->second->mutex);
      empty = found->second->members.empty();
    }
    if (empty) {
      result = aLink_InstallUserPacketFilter(member->filterLink, nullptr, nullptr);
      sHubs.erase(found);
    }
  }
  member->filterLink = 0;
  return result;
}

aErr _joinHub(Link::impl* member, aLinkID link) {
  if (member->filterLink && member->filterLink != link) _leaveHub(member);
  std::unique_ptr<StreamHub>& hub = sHubs[link];
  if (!hub) hub = std::make_unique<StreamHub>();
  {
    std::lock_guard lock(hub->mutex);
    if (std::find(hub->members.begin(), hub->members.end(), member) == hub->members.end())
      hub->members.push_back(member);
  }
  const aErr installed = aLink_InstallUserPacketFilter(link, sDispatchToMembers, hub.get());
  if (installed == aErrNone) {
    member->filterLink = link;
    return aErrNone;
  }
  _removeMember(*hub, member);
  member->filterLink = link;
  _leaveHub(member);
  return installed;
}

// The stream request [0x5D][0x81 or 0x82][0x20][module command option index] and its
// acknowledgement.
aErr _requestStream(Link& link, uint8_t module, uint64_t key, bool enable) {
  uei request{};
  request.module = module;
  request.command = cmdSTREAM;
  request.option = enable ? streamOPTION_ENABLE : streamOPTION_DISABLE;
  request.index = UEI_INDEX_REQUEST;
  request.type = UEI_TYPE_INT;
  request.value.intVal = static_cast<uint32_t>(key);
  const aErr sent = link.sendUEI(request);
  if (sent != aErrNone) return sent;
  uei reply{};
  reply.module = module;
  reply.command = cmdSTREAM;
  reply.option = static_cast<uint8_t>(request.option | UEI_ACK);
  reply.index = 0;
  const aErr received = link.receiveUEI(module, reply.command, reply.option, reply.index, &reply);
  if (received != aErrNone) return received;
  return (reply.index & UEI_INDEX_ERROR) ? ueiModuleError(reply.value.byteVal) : aErrNone;
}

}  // namespace

// Empties the table: the run tokens of the subscriptions it held.
std::vector<StreamRunToken> _takeAll(Link::impl& self) {
  std::vector<StreamRunToken> tokens;
  std::lock_guard lock(self.streamMutex);
  for (auto& [key, entry] : self.streams)
    if (entry.live) tokens.push_back(std::move(entry.live));
  self.streams.clear();
  return tokens;
}

// ---- keys and samples -----------------------------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return uint64_t{subindex} << 32 | uint64_t{module} << 24 | uint64_t{command} << 16 | uint64_t{option} << 8 | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
  switch (element) {
    case STREAM_KEY_ADDRESS:
      return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_COMMAND:
      return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION:
      return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX:
      return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX:
      return static_cast<uint8_t>(key >> 32);
    default:
      return 0;
  }
}

bool Link::isStreamPacket(const aPacket* packet) { return packet && aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind) {
  STREAM_PACKET found = STREAM_PACKET_NONE;
  if (isStreamPacket(packet)) {
    const uint8_t sequence = packet->data[packet->dataSize - 1];
    const uint8_t declared = packet->data[3];
    if (sequence != 0) found = STREAM_PACKET_BYTES;
    else if (declared >= STREAM_PACKET_U8 && declared <= STREAM_PACKET_SUB_U32) found = STREAM_PACKET(declared);
  }
  if (kind) *kind = found;
  return found != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET kind) { return kind >= STREAM_PACKET_SUB_U8 && kind <= STREAM_PACKET_SUB_U32; }

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET kind;
  return getStreamPacketType(packet, &kind) && kind != STREAM_PACKET_BYTES && packet->data[packet->dataSize - 1] == 0 &&
         _checkStreamSampleLength(packet->dataSize, kind);
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  STREAM_PACKET kind;
  if (!getStreamPacketType(packet, &kind)) return aErrPacket;
  if (kind == STREAM_PACKET_BYTES) return aErrSize;
  if (!isStreamSample(packet)) return aErrPacket;
  const bool subindexed = isSubindexType(kind);
  const uint8_t* at = packet->data + (subindexed ? 5 : 4);
  const uint8_t* valueAt = at + 8;
  uint32_t decoded = 0;
  switch (subindexed ? kind - 4 : kind) {
    case STREAM_PACKET_U8:
      decoded = valueAt[0];
      break;
    case STREAM_PACKET_U16:
      decoded = aUEI_RetrieveShort(valueAt);
      break;
    default:
      decoded = aUEI_RetrieveInt(valueAt);
      break;
  }
  if (timestamp) *timestamp = uint64_t{aUEI_RetrieveInt(at)} << 32 | aUEI_RetrieveInt(at + 4);
  if (value) *value = decoded;
  if (subindex) *subindex = subindexed ? packet->data[4] : 0;
  return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low) *low = static_cast<uint32_t>(timestamp);
}

// ---- the reader thread's side ---------------------------------------------------------------------

bool Link::linkStreamFilter(const aPacket* packet, void* ref) {
  STREAM_PACKET kind;
  if (!getStreamPacketType(packet, &kind)) return false;
  auto* self = static_cast<impl*>(ref);
  const uint64_t key = _receivedKey(packet, kind);
  uint32_t value = 0;
  const bool sample = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;
  // A sample of subindex 255 makes a key with an element 0xFF, which names subscriptions, not a
  // value: it is neither stored nor cached, and each subscription covering it runs once.
  const bool concrete = !_isSubscription(key);

  std::lock_guard lock(self->streamMutex);
  const auto exact = concrete ? self->streams.find(key) : self->streams.end();
  if (exact != self->streams.end()) {
    self->queueAsyncCallback(exact->second, packet);
    if (sample) {
      exact->second.value = value;
      exact->second.fresh = 1;
    }
  }
  uint64_t covering[kGenericMasks];
  size_t covered = 0;
  for (uint8_t i = 0; i < kGenericMasks; ++i) {
    const uint64_t wildcardKey = key | _getGenericStreamKeyMask(i);
    if (std::find(covering, covering + covered, wildcardKey) != covering + covered) continue;
    const auto wildcard = self->streams.find(wildcardKey);
    if (wildcard == self->streams.end()) continue;
    self->queueAsyncCallback(wildcard->second, packet);
    covering[covered++] = wildcardKey;
  }
  if (exact == self->streams.end() && covered && sample && concrete)
    self->streams[key] = StreamEntry{key, 1, {}, nullptr, value, nullptr};
  return true;
}

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback) return;
  asyncPacket run{entry.callback, entry.ref, aPacket_Copy(packet), entry.live};
  if (!run.packet) return;
  if (streamQueue->push(std::move(run))) return;
  aPacket_Destroy(&run.packet);
  droppedRuns.fetch_add(1, std::memory_order_relaxed);
}

// ---- the callback thread --------------------------------------------------------------------------

void Link::impl::asyncWork(Tarnwick::LocklessQueue_SPSC<asyncPacket>* queue, StreamCallbackControl* control) {
  // The stop is looked at between runs, so a busy stream cannot keep the thread from ending.
  while (!control->stop.load(std::memory_order_acquire)) {
    asyncPacket run;
    if (!queue->pop(&run)) {
      aTime_MSSleep(kIdlePollMs);
      continue;
    }
    {
      std::lock_guard running(control->runLock);
      if (run.live && run.live->load()) {
        try {
          run.callback(run.packet, run.ref);
        } catch (...) {
          // A callback's failure is its own; the thread goes on with the next run.
        }
      }
    }
    aPacket_Destroy(&run.packet);
  }
}

void Link::impl::retireRuns(const std::vector<StreamRunToken>& tokens) {
  if (tokens.empty()) return;
  for (const StreamRunToken& token : tokens) token->store(false);
  // A run that looked at its token before it was cleared may be in progress: it ends first. On
  // the callback thread that run is the caller's own.
  if (onCallbackThread()) return;
  std::shared_ptr<StreamCallbackControl> control;
  {
    std::lock_guard hold(streamControl);
    control = callbackControl;
  }
  if (control) std::lock_guard waited(control->runLock);
}

void Link::impl::startCallbackThread() {
  std::lock_guard control(streamControl);
  if (streamThread.joinable()) return;
  callbackControl = std::make_shared<StreamCallbackControl>();
  // The thread reaches its Link only here, before any run: afterwards it uses what it shares.
  streamThread = std::thread([this, queue = streamQueue, shared = callbackControl] {
    callbackThreadId = std::this_thread::get_id();
    asyncWork(queue.get(), shared.get());
  });
}

void Link::impl::stopCallbackThread() {
  // On the callback thread itself the thread goes on; a later stop from elsewhere, or the end of
  // the Link, ends it.
  if (onCallbackThread()) return;
  std::lock_guard control(streamControl);
  if (!streamThread.joinable()) return;
  callbackControl->stop = true;
  streamThread.join();
  callbackThreadId = std::thread::id();
  callbackControl.reset();
  // What is left in the ring belongs to subscriptions that are gone: their runs never start.
  for (asyncPacket run; streamQueue->pop(&run);) aPacket_Destroy(&run.packet);
}

aErr Link::impl::installStreamFilter(bool on) {
  if (!linkId) return aErrConnection;
  aErr result;
  {
    std::lock_guard change(sHubChange);
    result = on ? _joinHub(this, linkId) : _leaveHub(this);
  }
  if (result != aErrNone) return result;
  if (on) {
    // Joined on the callback thread, the thread runs already.
    if (!onCallbackThread()) startCallbackThread();
    return aErrNone;
  }
  retireRuns(_takeAll(*this));
  stopCallbackThread();
  return aErrNone;
}

void Link::impl::dropStreams() {
  {
    std::lock_guard change(sHubChange);
    _leaveHub(this);
  }
  retireRuns(_takeAll(*this));
  stopCallbackThread();
}

void Link::impl::forgetCachedValues() {
  std::lock_guard lock(streamMutex);
  std::erase_if(streams, [](const auto& entry) { return !_isSubscription(entry.first); });
}

// ---- the Link's operations ------------------------------------------------------------------------

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* ref) {
  if (module & 1) return aErrParam;
  const uint64_t key = createStreamKey(module, command, option, index, kAny);
  // The subscription and the cached values it covers go; none of its runs starts afterwards.
  auto removeCovered = [&] {
    std::vector<StreamRunToken> gone;
    {
      std::lock_guard lock(_impl->streamMutex);
      for (uint64_t covered : filterActiveStreamKeys(module, command, option, index, kAny, false)) {
        const auto entry = _impl->streams.find(covered);
        if (entry->second.live) gone.push_back(std::move(entry->second.live));
        _impl->streams.erase(entry);
      }
    }
    _impl->retireRuns(gone);
  };
  if (!enable) {
    // The module stops first, while the stream filter still takes what it sends meanwhile: once
    // the stop is acknowledged no sample of that stream is on its way (frames come in order), so
    // none can reach the replies.
    const aErr stopped = _requestStream(*this, module, key, false);
    removeCovered();
    bool empty;
    {
      std::lock_guard lock(_impl->streamMutex);
      empty = _impl->streams.empty();
    }
    const aErr filtered = _impl->installStreamFilter(!empty);
    return stopped != aErrNone ? stopped : filtered;
  }
  StreamRunToken replaced;
  {
    std::lock_guard lock(_impl->streamMutex);
    StreamEntry& entry = _impl->streams[key];
    entry.key = key;
    replaced = std::move(entry.live);
    entry.callback = std::move(callback);
    entry.ref = ref;
    if (entry.callback) entry.live = std::make_shared<std::atomic<bool>>(true);
  }
  if (replaced) _impl->retireRuns({replaced});
  aErr result = _impl->installStreamFilter(true);
  if (result == aErrNone) result = _requestStream(*this, module, key, true);
  if (result != aErrNone) removeCovered();
  return result;
}

uint64_t Link::getDroppedStreamRuns() const { return _impl->droppedRuns.load(std::memory_order_relaxed); }

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (!value) return aErrParam;
  std::lock_guard lock(_impl->streamMutex);
  const auto found = _impl->streams.find(createStreamKey(module, command, option, index, subindex));
  if (found == _impl->streams.end()) return aErrNotFound;
  *value = found->second.value;
  if (!found->second.fresh) return aErrStreamStale;
  found->second.fresh = 0;
  return aErrNone;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count) {
  if (!isConnected()) return aErrConnection;
  if (!entries || !count || capacity == 0) return aErrParam;
  std::lock_guard lock(_impl->streamMutex);
  *count = 0;
  for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
    if (_isSubscription(key)) continue;
    if (*count == capacity) return aErrSize;
    entries[(*count)++] = StreamStatusEntry{key, _impl->streams[key].value};
  }
  return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  std::unique_lock guard(_impl->streamMutex, std::defer_lock);
  if (lock) guard.lock();
  std::vector<uint64_t> keys;
  for (const auto& [key, entry] : _impl->streams)
    if (_matches(key, module, command, option, index, subindex)) keys.push_back(key);
  return keys;
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming) {
  if (!streaming) return aErrParam;
  uei request{};
  request.module = module;
  request.command = cmdSTREAM;
  request.option = streamOPTION_QUERY;
  request.index = UEI_INDEX_REQUEST;
  request.type = UEI_TYPE_VOID;
  const aErr sent = sendUEI(request);
  if (sent != aErrNone) return sent;
  uei reply{};
  reply.module = module;
  reply.command = cmdSTREAM;
  reply.option = streamOPTION_QUERY & UEI_OPTION_MASK;
  reply.index = 0;
  const aErr received = receiveUEI(module, reply.command, reply.option, reply.index, &reply);
  if (received != aErrNone) return received;
  if (reply.index & UEI_INDEX_ERROR) return ueiModuleError(reply.value.byteVal);
  *streaming = reply.value.byteVal;
  return aErrNone;
}

}  // namespace Tarnwick::Quillfern
