// Link's store slots and factory data (raw request/reply packets of their own, one request and
// one wait at a time on the caller's thread) and the packet log with its file writer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>

#include "api/Link.h"
#include "api/Link_impl.h"
#include "common/aByteOrder.h"
#include "common/aFile.h"
#include "common/aLogger.h"
#include "common/aPacketLog.h"
#include "common/aTime.h"

namespace Tarnwick::Quillfern {

namespace {

constexpr uint8_t cmdSLOT = 4;
constexpr uint8_t kSlotCapacity = 1, kSlotSize = 2, kSlotOpenRead = 3, kSlotOpenWrite = 4, kSlotRead = 6,
                  kSlotWrite = 7, kSlotClose = 8;
constexpr uint8_t kReplyError = 0x80;
constexpr uint8_t kNoHandle = 255;
constexpr size_t kSlotChunk = 25;
constexpr uint64_t kOpenTimeoutMs = 3000;
constexpr uint64_t kReplyTimeoutMs = 1000;

constexpr uint8_t cmdFACTORY = 0x5E;
constexpr uint8_t kFactoryFirst = 0x40, kFactoryWrite = 0x10, kFactoryClose = 0x20, kFactoryTypeMask = 0x0F;
constexpr size_t COMMAND_OVERHEAD = 2;
constexpr size_t kFactoryChunk = aPACKET_MAX_DATA - COMMAND_OVERHEAD;

constexpr uint8_t kLogSent = 1;
constexpr uint8_t kLogText = 3;
constexpr uint32_t kLogIdlePauseMs = 5;
constexpr uint64_t kLogDrainMs = 1000;

// A request's data bytes: the record of the reply predicates.
struct Request {
  uint8_t data[aPACKET_MAX_DATA] = {};
  uint8_t size = 0;
};

// A reply to the slot request: command 4, the same operation (bit 7 aside), the same store and
// slot (operations 1-4) or handle (5-8). The packet's address is not looked at.
uint8_t sSlotFilter(const aPacket* packet, const void* ref) {
  const auto* request = static_cast<const Request*>(ref);
  if (packet->dataSize <= 3 || packet->data[0] != cmdSLOT) return 0;
  const uint8_t op = request->data[1];
  if ((packet->data[1] & ~kReplyError) != op) return 0;
  if (op <= kSlotOpenWrite) return packet->data[2] == request->data[2] && packet->data[3] == request->data[3];
  return packet->data[2] == request->data[2];
}

// A reply to the factory request: command 0x5E and its type (bit 7 aside); type 0 for a close.
uint8_t sFactoryFilter(const aPacket* packet, const void* ref) {
  const auto* request = static_cast<const Request*>(ref);
  const uint8_t type = request->data[1] == kFactoryClose ? 0 : request->data[1] & kFactoryTypeMask;
  return packet->dataSize > 1 && packet->data[0] == cmdFACTORY && (packet->data[1] & ~kReplyError) == type;
}

bool _isError(const aPacket* reply) { return (reply->data[1] & kReplyError) != 0; }

// The code an error reply carries at byte at; a flagged error without it never reads as success.
aErr _codeAt(const aPacket* reply, size_t at) { return ueiModuleError(reply->dataSize > at ? reply->data[at] : 0); }

// Names the replies a slot or factory request is answered with (command, operation or type, and
// what the predicate compares after them), apart from the entity requests' kinds.
uint64_t _replyKind(const Request& request) {
  constexpr uint64_t kRawRequests = uint64_t{1} << 40;
  const uint8_t second = request.data[0] == cmdSLOT         ? request.data[1]
                         : request.data[1] == kFactoryClose ? 0
                                                            : request.data[1] & kFactoryTypeMask;
  const uint8_t third = request.data[0] == cmdSLOT ? request.data[2] : 0;
  const uint8_t fourth = request.data[0] == cmdSLOT && second <= kSlotOpenWrite ? request.data[3] : 0;
  return kRawRequests | uint64_t{request.data[0]} << 24 | uint64_t{second} << 16 | uint64_t{third} << 8 | fourth;
}

// Queues the request and takes the first reply the predicate accepts within the wait: *reply
// (the caller destroys it), or aErrTimeout.
aErr _ask(aLinkID link, uint8_t module, const Request& request, aPacketFilterProc filter, uint64_t timeoutMs,
          aPacket** reply) {
  *reply = nullptr;
  aPacket* packet = aPacket_CreateWithData(module, request.size, request.data);
  if (!packet) return aErrResource;
  // A reply of this kind that is queued already answered an earlier request, too late.
  const uint64_t kind = _replyKind(request);
  replyOrderBeforeRequest(link, kind, filter, &request, timeoutMs);
  const aErr queued = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  if (queued == aErrNone) *reply = aLink_AwaitFirst(link, filter, &request, timeoutMs);
  replyOrderAfterWait(link, kind);
  if (queued != aErrNone) return queued;
  return *reply ? aErrNone : aErrTimeout;
}

Request _request(std::initializer_list<uint8_t> head, const uint8_t* tail = nullptr, size_t tailSize = 0) {
  Request request;
  for (uint8_t byte : head) request.data[request.size++] = byte;
  if (tailSize) std::memcpy(request.data + request.size, tail, tailSize);
  request.size = static_cast<uint8_t>(request.size + tailSize);
  return request;
}

uint8_t _sum(const uint8_t* bytes, size_t length) {
  return static_cast<uint8_t>(std::accumulate(bytes, bytes + length, 0u));
}

// The slot's handle, or 255 when it did not open (no reply, an error reply, or a reply too
// short to carry a handle).
uint8_t sOpenSlot(aLinkID link, uint8_t module, uint8_t store, uint8_t slot, uint8_t op) {
  aPacket* reply = nullptr;
  if (_ask(link, module, _request({cmdSLOT, op, store, slot}), sSlotFilter, kOpenTimeoutMs, &reply) != aErrNone)
    return kNoHandle;
  const uint8_t handle = !_isError(reply) && reply->dataSize > 4 ? reply->data[4] : kNoHandle;
  aPacket_Destroy(&reply);
  return handle;
}

aErr sCloseSlot(aLinkID link, uint8_t module, uint8_t handle) {
  aPacket* reply = nullptr;
  const aErr asked = _ask(link, module, _request({cmdSLOT, kSlotClose, handle}), sSlotFilter, kReplyTimeoutMs, &reply);
  if (asked != aErrNone) return asked;
  const aErr result = reply->dataSize != 4 ? aErrIO : _isError(reply) ? _codeAt(reply, 3) : aErrNone;
  aPacket_Destroy(&reply);
  return result;
}

// Capacity or size of a slot: bytes 4-5 of a 6-byte reply.
aErr _slotQuery(aLinkID link, uint8_t module, uint8_t op, uint8_t store, uint8_t slot, size_t* value) {
  aPacket* reply = nullptr;
  const aErr asked = _ask(link, module, _request({cmdSLOT, op, store, slot}), sSlotFilter, kReplyTimeoutMs, &reply);
  if (asked != aErrNone) return asked;
  aErr result = aErrUnknown;
  if (_isError(reply)) {
    result = _codeAt(reply, 4);
  } else if (reply->dataSize == 6) {
    *value = aByteOrder_ReadBE16(reply->data + 4);
    result = aErrNone;
  }
  aPacket_Destroy(&reply);
  return result;
}

aErr _writeChunk(aLinkID link, uint8_t module, uint8_t handle, const uint8_t* chunk, size_t length) {
  aPacket* reply = nullptr;
  const aErr asked =
      _ask(link, module, _request({cmdSLOT, kSlotWrite, handle}, chunk, length), sSlotFilter, kReplyTimeoutMs, &reply);
  if (asked != aErrNone) return asked;
  aErr result = aErrNone;
  if (reply->dataSize == 4) {
    if (_isError(reply)) result = _codeAt(reply, 3);
    else if (reply->data[3] != _sum(chunk, length)) result = aErrIO;
  }
  aPacket_Destroy(&reply);
  return result;
}

// The next bytes of the slot, appended to the buffer up to wanted.
aErr _readChunk(aLinkID link, uint8_t module, uint8_t handle, uint8_t* buffer, size_t wanted, size_t* copied) {
  aPacket* reply = nullptr;
  const aErr asked = _ask(link, module, _request({cmdSLOT, kSlotRead, handle}), sSlotFilter, kReplyTimeoutMs, &reply);
  if (asked != aErrNone) return asked;
  aErr result = aErrNone;
  if (_isError(reply)) {
    result = _codeAt(reply, 3);
  } else {
    const size_t length = std::min<size_t>(reply->dataSize - 3u, wanted - *copied);
    std::memcpy(buffer + *copied, reply->data + 3, length);
    *copied += length;
  }
  aPacket_Destroy(&reply);
  return result;
}

// The close of a factory transfer: [5E 20 n16], answered [5E 00] or [5E 80 code].
aErr _closeFactory(aLinkID link, uint8_t module, size_t moved) {
  aPacket* reply = nullptr;
  uint8_t count[2];
  aByteOrder_WriteBE16(count, static_cast<uint16_t>(moved));
  const Request close = _request({cmdFACTORY, kFactoryClose, count[0], count[1]});
  const aErr asked = _ask(link, module, close, sFactoryFilter, kReplyTimeoutMs, &reply);
  if (asked != aErrNone) return asked;
  const aErr result = _isError(reply) ? _codeAt(reply, 2) : aErrNone;
  aPacket_Destroy(&reply);
  return result;
}

// Gives the logger thread up to a second to write out what the packet log holds. A look with no
// room takes nothing out: it tells a record waiting (aErrOverrun) from an empty log.
void _waitForLogWritten(aLinkID link) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + kLogDrainMs;
  for (;;) {
    uint8_t tag = 0, none = 0;
    uint32_t room = 0;
    if (aLink_PacketDebug_Read(link, &tag, &room, &none) != aErrOverrun) return;
    if (aTime_GetMonotonicMSTicks() >= deadline) return;
    aTime_MSSleep(kLogIdlePauseMs);
  }
}

}  // namespace

// ---- store slots ----------------------------------------------------------------------------------

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!isConnected()) return aErrConnection;
  if (!capacity) return aErrParam;
  return _slotQuery(_impl->linkId, module, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  if (!size) return aErrParam;
  if (!isConnected()) return aErrConnection;
  return _slotQuery(_impl->linkId, module, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length) {
  if (!bytes) return aErrParam;
  if (!isConnected()) return aErrConnection;
  const aLinkID link = _impl->linkId;
  const uint8_t handle = sOpenSlot(link, module, store, slot, kSlotOpenWrite);
  if (handle == kNoHandle) return aErrMedia;
  aErr result = aErrNone;
  for (size_t sent = 0; result == aErrNone && sent < length;) {
    const size_t chunk = std::min(length - sent, kSlotChunk);
    result = _writeChunk(link, module, handle, bytes + sent, chunk);
    sent += chunk;
  }
  const aErr closed = sCloseSlot(link, module, handle);
  return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t length, size_t* count) {
  if (!count || !buffer) return aErrParam;
  if (!isConnected()) return aErrConnection;
  size_t size = 0;
  const aErr sized = storeSlotSize(module, store, slot, &size);
  if (sized != aErrNone) return sized;
  const aLinkID link = _impl->linkId;
  const uint8_t handle = sOpenSlot(link, module, store, slot, kSlotOpenRead);
  if (handle == kNoHandle) return aErrMedia;
  const size_t wanted = std::min(length, size);
  size_t copied = 0;
  aErr result = aErrNone;
  while (result == aErrNone && copied < wanted) result = _readChunk(link, module, handle, buffer, wanted, &copied);
  const aErr closed = sCloseSlot(link, module, handle);
  if (result != aErrNone) return result;
  if (closed != aErrNone) return closed;
  *count = wanted;
  return length < size ? aErrOverrun : aErrNone;
}

// ---- factory data ---------------------------------------------------------------------------------

aErr Link::getFactoryData(uint8_t module, uint8_t type, uint8_t* buffer, size_t length, size_t* count) {
  if (!buffer || !count || length == 0) return aErrParam;
  if (!isConnected()) return aErrConnection;
  const aLinkID link = _impl->linkId;
  const uint8_t kind = type & kFactoryTypeMask;
  size_t received = 0;
  bool more = true;
  for (bool first = true; more; first = false) {
    aPacket* reply = nullptr;
    const Request read = _request({cmdFACTORY, uint8_t(kind | (first ? kFactoryFirst : 0))});
    const aErr asked = _ask(link, module, read, sFactoryFilter, kReplyTimeoutMs, &reply);
    if (asked != aErrNone) return asked;
    aErr result = aErrNone;
    const size_t n = reply->dataSize - COMMAND_OVERHEAD;
    if (_isError(reply)) {
      result = _codeAt(reply, 2);
    } else if (received + n > length) {
      result = aErrOverrun;
    } else {
      std::memcpy(buffer + received, reply->data + COMMAND_OVERHEAD, n);
      received += n;
    }
    more = reply->dataSize == aPACKET_MAX_DATA;
    aPacket_Destroy(&reply);
    if (result != aErrNone) return result;
  }
  const aErr closed = _closeFactory(link, module, received);
  if (closed == aErrNone) *count = received;
  return closed;
}

aErr Link::setFactoryData(uint8_t module, uint8_t type, const uint8_t* bytes, size_t length) {
  if (!bytes && length) return aErrParam;
  if (!isConnected()) return aErrConnection;
  const aLinkID link = _impl->linkId;
  const uint8_t kind = type & kFactoryTypeMask;
  for (size_t sent = 0; sent < length;) {
    const size_t chunk = std::min(length - sent, kFactoryChunk);
    const uint8_t option = static_cast<uint8_t>(kind | kFactoryWrite | (sent == 0 ? kFactoryFirst : 0));
    aPacket* reply = nullptr;
    const aErr asked = _ask(link, module, _request({cmdFACTORY, option}, bytes + sent, chunk), sFactoryFilter,
                            kReplyTimeoutMs, &reply);
    if (asked != aErrNone) return asked;
    const aErr result = _isError(reply) ? _codeAt(reply, 2) : reply->dataSize != 2 ? aErrSize : aErrNone;
    aPacket_Destroy(&reply);
    if (result != aErrNone) return result;
    sent += chunk;
  }
  return _closeFactory(link, module, length);
}

// ---- packet log -----------------------------------------------------------------------------------

void Link::impl::readDebugBuffer(void* file, uint32_t id) {
  // Room for the longest record: one that did not fit would stay at the head of the log for ever.
  uint8_t record[aPACKETLOG_MAX_RECORD];
  uint32_t length = sizeof record;
  uint8_t tag = 0;
  const aErr taken = aLink_PacketDebug_Read(id, &tag, &length, record);
  if (taken != aErrNone) {
    // Called back to back: without the pause a log that is gone would keep a core busy.
    aTime_MSSleep(kLogIdlePauseMs);
    return;
  }
  auto* out = static_cast<aFile*>(file);
  aFile_Printf(out, "%d %s ", static_cast<int>(length), tag == kLogSent ? ">" : "<");
  if (tag == kLogText) {
    // A text record may end in its terminating zero byte, which is no text.
    for (uint32_t i = 0; i < length && record[i] != 0; ++i) aFile_Printf(out, "%c", record[i]);
  } else {
    std::string line;
    char hex[8];
    for (uint32_t i = 0; i < length; ++i) {
      std::snprintf(hex, sizeof hex, "0x%X ", record[i]);
      line += hex;
    }
    aFile_Printf(out, "%s", line.c_str());
  }
  aFile_Printf(out, "\r\n");
}

aErr Link::enablePacketLog(const char* path) {
  if (!_impl->linkId) return aErrConfiguration;
  const aErr enabled = aLink_PacketDebug_Enable(_impl->linkId);
  if (enabled != aErrNone) return enabled;
  // A logger made for an earlier device link of this Link would drain a log that is gone.
  if (_impl->logger && _impl->loggerLink != _impl->linkId) _impl->logger.reset();
  if (!_impl->logger) {
    _impl->logger.reset(aLogger_Create(_impl->linkId, impl::readDebugBuffer, path));
    _impl->loggerLink = _impl->linkId;
  }
  if (!_impl->logger) return aErrNone;  // the log records; no file takes it
  const aErr started = aLogger_Enable(_impl->logger.get());
  if (started == aErrNone) {
    static const uint8_t kStart[] = "START";
    aLink_PacketDebug_Write(_impl->linkId, kLogText, sizeof kStart, kStart);
  }
  return started;
}

void Link::impl::finishPacketLog() {
  if (!logger) return;
  if (linkId && loggerLink == linkId) _waitForLogWritten(linkId);
  aLogger_Disable(logger.get());
}

aErr Link::disablePacketLog() {
  if (!_impl->linkId) return aErrConfiguration;
  aLink_PacketDebug_Disable(_impl->linkId);
  if (!_impl->logger) return aErrParam;
  // What was recorded before the switch still goes to the file.
  if (_impl->loggerLink == _impl->linkId) _waitForLogWritten(_impl->linkId);
  return aLogger_Disable(_impl->logger.get());
}

}  // namespace Tarnwick::Quillfern
