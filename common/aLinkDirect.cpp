// Direct device links: their creation over USB, TCP/IP, a serial port or a caller's stream,
// their use counts, reset and destruction, and the two raw module queries.
#include <atomic>

#include "common/aDefs.h"
#include "common/aLink.h"
#include "common/aLinkServing.h"
#include "common/aMutex.h"
#include "common/aStream.h"
#include "common/aStreamsocket.h"
#include "common/aTime.h"
#include "common/aTransports.h"
#include "common/aUEI.h"
#include "common/discover.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"

namespace {

// Identifiers of a link over a caller's stream: such links are never looked up again.
constexpr uint32_t kStreamLinkSerial = 0xFFFFFFFF;

// The serial rates a link may have; a rate's position is the serial stream's baud index.

// A reset tries this many times to make the new stream, pausing after every failed try.
constexpr int kResetTries = 20;
constexpr uint32_t kResetPauseMs = 100;

// How long a raw query waits for its answer.
constexpr uint64_t kQueryTimeoutMs = 1000;
// The size of the model's answer: [cmdSYSTEM][UEI_GET | sysOPTION_MODEL][index][model].
constexpr uint8_t kModelAnswerSize = 4;

// ---- creation ---------------------------------------------------------------------------------

// Made on the first creation; never destroyed, as the registry's lock.
aMutex* sCreationLock() {
  static aMutex* const lock = aMutex_Create("aLink_Creation");
  return lock;
}

// Holds the creation lock so that finding a module's link and making it when there is none is
// one step: a second creator for the same module waits and then finds the first one's link (or
// nothing, when that failed), never a link half made or about to be torn down.
class sCreationHold {
 public:
  sCreationHold() : _lock(sCreationLock()) { _held = _lock && aMutex_Lock(_lock) == aErrNone; }
  ~sCreationHold() {
    if (_held) aMutex_Unlock(_lock);
  }
  sCreationHold(const sCreationHold&) = delete;
  sCreationHold& operator=(const sCreationHold&) = delete;
  bool held() const { return _held; }

 private:
  aMutex* _lock;
  bool _held = false;
};

// Looks for the module's link of that type. True when that settles the creation: *id is then
// the link, counted once more, or 0 for a served link.
bool sReuseExisting(uint32_t serialNumber, linkType type, aLinkID* id) {
  const aErr found = sAddUseByIdentifier(serialNumber, type, true, id);
  if (found == aErrBusy) *id = 0;
  return found == aErrNone || found == aErrBusy;
}

// Brings a newly registered entry up over the stream (null when it could not be made): the
// link takes the stream, is counted once, started and, when asked, synchronised. Any failure
// destroys the entry with whatever was built, stream included, and gives 0.
aLinkID sBringUp(aLinkID id, aStream* stream, bool synchronise) {
  if (!stream) {
    aLink_Destroy(&id);
    return 0;
  }
  if (aLink_Init(id, stream) != id) {  // the stream is still ours
    aStream_Destroy(&stream);
    aLink_Destroy(&id);
    return 0;
  }
  sAddUse(id);
  aErr result = aLink_Start(id);
  if (result == aErrNone && synchronise) result = aLink_Sync(id);
  if (result != aErrNone) {
    aLink_Destroy(&id);  // the only use: the link goes, stream included
    return 0;
  }
  return id;
}

// ---- destruction ------------------------------------------------------------------------------

// Tears down an entry whose last use is gone and that is out of the registry already. The
// engine's own stop delivers force-route off without looking the id up again; the server and
// the chained link go once the engine no longer carries their traffic.
aErr sTearDown(aLinkEntry* entry) {
  aLink* link = entry->link;
  aErr result = aErrNone;
  if (!link) {
    result = aErrUnknown;
  } else if (aVALIDLINK(link)) {
    aLink_SetUserPacketFilter(link, nullptr, nullptr);
    aLink_Stop(link);
    if (aServer* server = entry->server.load()) {
      if (auto destroyServer = aLink_ServedProcs().destroyServer) {
        destroyServer(&server);
        entry->server = server;
      }
    }
    if (aLinkID chained = entry->chainedID.exchange(0)) aLink_Destroy(&chained);
    result = aLink_Finish(link);
  }
  sFreeEntry(&entry);
  return result;
}

// ---- reset ------------------------------------------------------------------------------------

bool sCanRemakeStream(const aLinkEntry& entry) {
  switch (entry.type) {
    case USB:
    case TCPIP:
      return true;
    case ORVANE:
      return aLink_ServedProcs().createClientStream != nullptr;
    default:  // a caller's stream or a serial port: nothing to make it from again
      return false;
  }
}

aErr sMakeStream(const aLinkEntry& entry, aStream** stream) {
  switch (entry.type) {
    case USB:
      return aStream_CreateUSB(entry.identifiers[0], stream);
    case TCPIP:
      return aStream_CreateSocket(entry.identifiers[1], static_cast<uint16_t>(entry.identifiers[2]), stream);
    case ORVANE:
      if (auto createClientStream = aLink_ServedProcs().createClientStream)
        return createClientStream(entry.identifiers[0], static_cast<uint16_t>(entry.identifiers[1]), stream);
      return aErrParam;
    default:
      return aErrParam;
  }
}

aErr sMakeStreamWithRetries(const aLinkEntry& entry, aStream** stream) {
  aErr result = aErrParam;
  for (int attempt = 0; attempt < kResetTries; ++attempt) {
    *stream = nullptr;
    result = sMakeStream(entry, stream);
    if (result == aErrNone && *stream) return aErrNone;
    if (*stream) aStream_Destroy(stream);
    aTime_MSSleep(kResetPauseMs);
  }
  return result == aErrNone ? aErrResource : result;
}

thread_local bool tReplacingTransport = false;

// Marks the reset's replacement of a transport on this thread, for the stream procedures.
class sReplacingTransport {
 public:
  sReplacingTransport() { tReplacingTransport = true; }
  ~sReplacingTransport() { tReplacingTransport = false; }
  sReplacingTransport(const sReplacingTransport&) = delete;
  sReplacingTransport& operator=(const sReplacingTransport&) = delete;
};

// ---- queries ----------------------------------------------------------------------------------

// Queues the question and takes the first packet received within the query time; the answer
// (the caller frees it) through *answer, null on time-out.
aErr sAsk(aLinkID id, uint8_t address, uint8_t dataSize, const uint8_t* data, aPacket** answer) {
  *answer = nullptr;
  aPacket* question = aPacket_CreateWithData(address, dataSize, data);
  if (!question) return aErrMemory;
  const aErr queued = aLink_PutPacket(id, question);
  aPacket_Destroy(&question);
  if (queued != aErrNone) return queued;
  *answer = aLink_AwaitPacket(id, kQueryTimeoutMs);
  return *answer ? aErrNone : aErrTimeout;
}

}  // namespace

aLinkID aLink_CreateUSB(uint32_t serialNumber) {
  sCreationHold hold;
  aLinkID id = 0;
  if (!hold.held() || sReuseExisting(serialNumber, USB, &id)) return id;
  id = sCreate(serialNumber, 0, USB);
  if (!id) return 0;
  aStream* stream = nullptr;
  aStream_CreateUSB(serialNumber, &stream);
  return sBringUp(id, stream, true);
}

aLinkID aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipv4, uint16_t port) {
  sCreationHold hold;
  aLinkID id = 0;
  if (!hold.held() || sReuseExisting(serialNumber, TCPIP, &id)) return id;
  id = sCreate2(serialNumber, ipv4, port, TCPIP);
  if (!id) return 0;
  aStream* stream = nullptr;
  aStream_CreateSocket(ipv4, port, &stream);
  return sBringUp(id, stream, false);
}

aLinkID aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate) {
  sCreationHold hold;
  aLinkID id = 0;
  if (!hold.held() || sReuseExisting(serialNumber, SERIAL, &id)) return id;
  const int32_t baudIndex = aSerial_BaudIndex(baudRate);
  if (baudIndex < 0) return 0;
  id = sCreate(serialNumber, 0, SERIAL);
  if (!id) return 0;
  aStream* stream = nullptr;
  aStream_CreateSerial_Packetized(portPath, baudIndex, 0, 0, 0, &stream);
  return sBringUp(id, stream, false);
}

aLinkID aLink_CreateClient(uint32_t ipv4, uint16_t port, aLinkID reference) {
  if (reference) return sAddUse(reference) == aErrNone ? reference : 0;
  sCreationHold hold;
  if (!hold.held()) return 0;
  // The counter makes every client link its own entry, also for the same server.
  static uint32_t clientCount = 0;
  const aLinkID id = sCreate2(ipv4, port, clientCount, ORVANE);
  if (!id) return 0;
  ++clientCount;
  aStream* stream = nullptr;
  if (auto createClientStream = aLink_ServedProcs().createClientStream) createClientStream(ipv4, port, &stream);
  return sBringUp(id, stream, false);
}

aLinkID aLink_Create(aStream* stream) {
  const aLinkID id = stream ? sCreate(kStreamLinkSerial, 0, UNSPECIFIED) : 0;
  if (!id) {
    aStream_Destroy(&stream);
    return 0;
  }
  return sBringUp(id, stream, false);
}

aErr aLink_Destroy(aLinkID* id) {
  if (!id) return aErrParam;
  aLinkEntry* last = nullptr;
  const aErr released = sReleaseUse(*id, &last);
  *id = 0;
  if (released != aErrNone) return aErrParam;
  return last ? sTearDown(last) : aErrNone;
}

bool aLink_ReplacingTransportOnThisThread() { return tReplacingTransport; }

aErr aLink_Reset(aLinkID id) {
  const aLinkEntryRef entry = sHoldEntry(id);  // held: a destroy may race the reset
  return aLink_ResetLink(entry.get());
}

aErr aLink_ResetLink(aLinkEntry* entry) {
  if (!entry || !aVALIDLINK(entry->link)) return aErrParam;
  // Checked before anything stops: a link whose stream cannot be made again keeps the one it has.
  if (!sCanRemakeStream(*entry)) return aErrParam;
  aLink* link = entry->link;
  aStream* stream = nullptr;
  aErr result = aErrNone;
  {
    const sReplacingTransport replacing;
    result = aLink_DropTransport(link);
    if (result != aErrNone) return result;
    result = sMakeStreamWithRetries(*entry, &stream);
  }
  if (result != aErrNone) return result;
  result = aLink_AttachTransport(link, stream);
  if (result != aErrNone) {
    aStream_Destroy(&stream);
    return result;
  }
  return aLink_Start(entry->id);
}

aErr aLinkInternal::_aLink_GetModuleAddress(aLinkID id, uint8_t* address) {
  if (!address) return aErrParam;
  static const uint8_t kNoData = 0;
  aPacket* answer = nullptr;
  const aErr asked = sAsk(id, cmdMAGIC, 0, &kNoData, &answer);
  if (asked != aErrNone) return asked;
  const bool fromModule = answer->dataSize == 0 && answer->address != 0;
  if (fromModule) *address = answer->address;
  aPacket_Destroy(&answer);
  return fromModule ? aErrNone : aErrIO;
}

aErr aLinkInternal::_aLink_GetModel(aLinkID id, uint8_t address, uint8_t* model) {
  if (!model) return aErrParam;
  const uint8_t question[3] = {cmdSYSTEM, UEI_GET | sysOPTION_MODEL, UEI_INDEX_REQUEST | 0};
  aPacket* answer = nullptr;
  const aErr asked = sAsk(id, address, sizeof question, question, &answer);
  if (asked != aErrNone) return asked;
  const bool isModel =
      answer->dataSize == kModelAnswerSize && answer->address == address && answer->data[0] == cmdSYSTEM;
  if (isModel) *model = answer->data[3];
  aPacket_Destroy(&answer);
  return isModel ? aErrNone : aErrIO;
}
