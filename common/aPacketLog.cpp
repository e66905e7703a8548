#include "common/aPacketLog.h"

#include <new>

#include "common/internal/aLink_internal.h"

namespace {

bool sValidLog(const aPacketLog* log) { return log && log->bytes && log->capacity > 0; }

uint32_t sAdvance(const aPacketLog& log, uint32_t index, uint32_t by) {
  return static_cast<uint32_t>((uint64_t{index} + by) % log.capacity);
}

uint32_t sUsed(const aPacketLog& log) {
  return static_cast<uint32_t>((uint64_t{log.writeIndex} + log.capacity - log.readIndex) % log.capacity);
}

uint32_t sFree(const aPacketLog& log) { return log.capacity - sUsed(log); }

uint8_t sByteAt(const aPacketLog& log, uint32_t index, uint32_t offset) {
  return log.bytes[sAdvance(log, index, offset)];
}

void sDropOldest(aPacketLog& log) {
  const uint32_t length = sByteAt(log, log.readIndex, 1);
  log.readIndex = sAdvance(log, log.readIndex, length + 2);
}

void sAppendByte(aPacketLog& log, uint8_t byte) {
  log.bytes[log.writeIndex] = byte;
  log.writeIndex = sAdvance(log, log.writeIndex, 1);
}

// Runs body(link) with the link's log lock held; aErrParam for an id without a link.
template <typename Body>
aErr sWithLogLock(aLinkID id, Body body) {
  const std::shared_ptr<aLink> link = aLink_Hold(id);  // held: a destroy may race this
  if (!link || aMutex_Lock(link->logMutex) != aErrNone) return aErrParam;
  // A teardown clears the check word before it takes the log under this lock: a log made after
  // that would never be freed.
  const aErr result = aVALIDLINK(link.get()) ? body(*link) : aErrParam;
  aMutex_Unlock(link->logMutex);
  return result;
}

// As sWithLogLock, aErrNotReady when the link has no log.
template <typename Body>
aErr sWithLog(aLinkID id, Body body) {
  return sWithLogLock(id, [&](aLink& link) -> aErr {
    aPacketLog* log = link.packetLog.load();
    return log ? body(*log) : aErrNotReady;
  });
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t capacity) {
  if (capacity == 0) return nullptr;
  auto* log = new (std::nothrow) aPacketLog{};
  if (!log) return nullptr;
  log->bytes = new (std::nothrow) uint8_t[capacity];
  if (!log->bytes) {
    delete log;
    return nullptr;
  }
  log->capacity = capacity;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t tag, uint32_t length, const uint8_t* bytes) {
  if (!sValidLog(log) || (length > 0 && !bytes)) return aErrParam;
  if (length > aPACKETLOG_MAX_RECORD) return aErrSize;
  const uint32_t needed = length + 2;
  if (needed >= log->capacity) return aErrOverrun;
  while (sFree(*log) <= needed) sDropOldest(*log);
  sAppendByte(*log, tag);
  sAppendByte(*log, static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) sAppendByte(*log, bytes[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* tag, uint32_t* length, uint8_t* buffer) {
  if (!sValidLog(log) || !tag || !length || !buffer) return aErrParam;
  if (log->readIndex == log->writeIndex) return aErrNotFound;
  const uint32_t room = *length;
  *tag = sByteAt(*log, log->readIndex, 0);
  *length = sByteAt(*log, log->readIndex, 1);
  if (room < *length) return aErrOverrun;
  for (uint32_t i = 0; i < *length; ++i) buffer[i] = sByteAt(*log, log->readIndex, 2 + i);
  log->readIndex = sAdvance(*log, log->readIndex, *length + 2);
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (!log || !*log) return aErrNone;
  (*log)->enabled = false;
  delete[](*log)->bytes;
  delete *log;
  *log = nullptr;
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkID id, int32_t size) {
  return sWithLogLock(id, [size](aLink& link) -> aErr {
    if (link.packetLog.load()) return aErrBusy;
    if (size > aPACKETLOG_MAX_SIZE) return aErrParam;
    link.logSize = size < 0 ? 0 : static_cast<uint32_t>(size);
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Enable(aLinkID id) {
  return sWithLogLock(id, [](aLink& link) -> aErr {
    if (link.logSize == 0) link.logSize = aPACKETLOG_DEFAULT_SIZE;
    aPacketLog* log = link.packetLog.load();
    if (!log) {
      log = aPacketLog_Create(link.logSize);
      if (!log) return aErrResource;
    }
    log->enabled = true;
    link.packetLog.store(log);
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Disable(aLinkID id) {
  return sWithLog(id, [](aPacketLog& log) -> aErr {
    log.enabled = false;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Read(aLinkID id, uint8_t* tag, uint32_t* length, uint8_t* buffer) {
  return sWithLog(id, [=](aPacketLog& log) { return aPacketLog_Get(&log, tag, length, buffer); });
}

aErr aLink_PacketDebug_Write(aLinkID id, uint8_t tag, uint32_t length, const uint8_t* bytes) {
  return sWithLog(id, [=](aPacketLog& log) { return aPacketLog_Put(&log, tag, length, bytes); });
}

void aLink_RecordPacket(aLink* link, uint8_t tag, const aPacket* packet) {
  // The pointer is only ever set under the lock and cleared at teardown, after the threads that
  // call this have ended; the unlocked look keeps links without a log off the lock.
  if (!link->packetLog.load()) return;
  uint8_t frame[aPACKET_MAX_FRAME];
  size_t length = 0;
  if (aPacket_GetBytes(packet, frame, sizeof frame, &length) != aErrNone) return;
  if (aMutex_Lock(link->logMutex) != aErrNone) return;
  aPacketLog* log = link->packetLog.load();
  if (log && log->enabled) aPacketLog_Put(log, tag, static_cast<uint32_t>(length), frame);
  aMutex_Unlock(link->logMutex);
}
