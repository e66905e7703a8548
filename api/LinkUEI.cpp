// Link's entity requests: request packets from a uei record, the wait for the reply, and the
// reply predicate.
#include "api/Link.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "api/Link_impl.h"

namespace Tarnwick::Quillfern {

namespace {

constexpr uint64_t kReplyTimeoutMs = 1000;
constexpr uint64_t kLongByteValueTimeoutMs = 4000;
constexpr size_t kLongByteValue = 1000;
// A byte value being set is acknowledged once its last packet reached the module. Its wait
// counts from when the last packet left the outbound queue; what a transport still holds then
// (socket and terminal buffers, a slow network between) is allowed for at this rate, slower than
// a serial line at 115200 baud or a throttled network path of 20 KB/s.
constexpr uint64_t kSlowLinkBytesPerMs = 8;
// Writing the queue out stalls for this long at most before the set counts as failed (a kernel
// buffer in front of a slow line takes bytes again only in large steps).
constexpr uint64_t kOutboundStallMs = 5000;
// Frame bytes of one byte-value packet on the wire: address, length, class, option, index,
// 24 bytes, sequence.
constexpr uint64_t kByteValueFrame = UEI_BYTES_CHUNK + 6;

bool _validModule(uint8_t module) { return module != 0 && (module & 1) == 0; }

bool _isLongByteValue(const uei& record) {
  return record.type == UEI_TYPE_BYTES && record.value.bytes.length > kLongByteValue;
}

// The acknowledgement of a byte value being set (a get's reply carries the bare option).
bool _isByteValueAcknowledgement(const uei& match) {
  return match.type == UEI_TYPE_BYTES && (match.option & UEI_ACK) == UEI_ACK;
}

// The wait for the acknowledgement of a byte value of this many bytes, once its packets left.
uint64_t _byteValueAcknowledgementMs(size_t length) {
  const uint64_t packets = std::max<uint64_t>(1, (length + UEI_BYTES_CHUNK - 1) / UEI_BYTES_CHUNK);
  const uint64_t onTheWire = kReplyTimeoutMs + packets * kByteValueFrame / kSlowLinkBytesPerMs;
  return std::max(length > kLongByteValue ? kLongByteValueTimeoutMs : kReplyTimeoutMs, onTheWire);
}

// The reply a request is answered with: the bare option after a get, option | UEI_ACK after a
// set or a call, the bare index, from the request's module.
uei _expectedReply(const uei& request) {
  uei reply = request;
  const uint8_t option = request.option & UEI_OPTION_MASK;
  reply.option = (request.option & UEI_SET) ? static_cast<uint8_t>(option | UEI_ACK) : option;
  reply.index = request.index & UEI_INDEX_MASK;
  return reply;
}

// Names the replies a UEI request is answered with, for the order of requests and replies.
uint64_t _replyKind(const uei& reply) {
  return uint64_t{reply.module} << 24 | uint64_t{reply.command} << 16 | uint64_t{reply.option} << 8 |
         (reply.index & UEI_INDEX_MASK);
}

// A stream packet of the module that no stream filter took (a module streaming with no
// subscription): never a reply, and left queued it would only fill the inbound queue.
uint8_t _unclaimedStreamPacket(const aPacket* packet, const void* ref) {
  return packet->address == *static_cast<const uint8_t*>(ref) && Link::getStreamPacketType(packet, nullptr);
}

// Before the request goes out: replies of its kind that are already queued are late ones.
void _beforeRequest(aLinkID link, const uei& request) {
  aLink_DrainPackets(link, _unclaimedStreamPacket, &request.module);
  const uei reply = _expectedReply(request);
  const uint64_t waitMs =
      _isLongByteValue(request) ? _byteValueAcknowledgementMs(request.value.bytes.length) : kReplyTimeoutMs;
  replyOrderBeforeRequest(link, _replyKind(reply), Link::sUEIFilter, &reply, waitMs);
}

aErr _queue(aLinkID id, uint8_t module, const uint8_t* data, size_t size) {
  aPacket packet;  // the link queues a copy of its own
  if (aPacket_Fill(&packet, module, static_cast<uint8_t>(size), data) != aErrNone) return aErrResource;
  return aLink_PutPacket(id, &packet);
}

// Appends the scalar value of the record's type, big-endian; false for a type without one.
bool _appendValue(const uei& request, uint8_t* data, size_t* size) {
  switch (request.type) {
    case UEI_TYPE_VOID:
      return true;
    case UEI_TYPE_BYTE:
      data[(*size)++] = request.value.byteVal;
      return true;
    case UEI_TYPE_SHORT:
      aUEI_StoreShort(data + *size, request.value.shortVal);
      *size += 2;
      return true;
    case UEI_TYPE_INT:
      aUEI_StoreInt(data + *size, request.value.intVal);
      *size += 4;
      return true;
    default:
      return false;
  }
}

// [command][option][index][chunk][sequence] packets, handed to the link as one batch: written in
// one go on a quiet link, else queued together with one wake of the writer. The packets are
// written in place in one zeroed array, not made one heap record each: a firmware chunk is
// dozens of them, and making them cost more than the rest of the request.
aErr _queueBytes(aLinkID id, const uei& request) {
  const uint8_t* bytes = request.value.bytes.data;
  const size_t length = request.value.bytes.length;
  if (length && !bytes) return aErrParam;
  const size_t count = std::max<size_t>(1, (length + UEI_BYTES_CHUNK - 1) / UEI_BYTES_CHUNK);
  const std::unique_ptr<aPacket[]> packets(new (std::nothrow) aPacket[count]());
  const std::unique_ptr<const aPacket*[]> batch(new (std::nothrow) const aPacket*[count]);
  if (!packets || !batch) return aErrResource;
  for (size_t number = 0, sent = 0; number < count; ++number, sent += UEI_BYTES_CHUNK) {
    const size_t chunk = std::min(length - sent, UEI_BYTES_CHUNK);
    const bool more = number + 1 < count;
    uint8_t* data = packets[number].data;
    data[0] = request.command;
    data[1] = request.option;
    data[2] = request.index;
    if (chunk == UEI_BYTES_CHUNK) std::memcpy(data + 3, bytes + sent, UEI_BYTES_CHUNK);  // a fixed copy: quicker
    else if (chunk) std::memcpy(data + 3, bytes + sent, chunk);
    data[3 + chunk] = static_cast<uint8_t>((more ? UEI_BYTES_CONTINUE : 0) | (number & UEI_BYTES_SEQUENCE_MASK));
    aPacket_Complete(&packets[number], request.module, static_cast<uint8_t>(chunk + 4));
    batch[number] = &packets[number];
  }
  return aLink_PutPackets(id, batch.get(), count);
}

// Writes what a reply taken by the UEI reply predicate carries into the record: an error
// reply's index byte and code, or the value by the reply's length (3, 4, 5, 7 bytes; other
// lengths change neither type nor value).
void _decodeReply(const aPacket* packet, uei* reply) {
  if (packet->dataSize <= 2) return;
  if (packet->data[2] & UEI_INDEX_ERROR) {
    reply->index = packet->data[2];
    reply->value.byteVal = packet->dataSize > 3 ? packet->data[3] : 0;  // no code: see ueiModuleError
    return;
  }
  switch (packet->dataSize) {
    case 3:
      reply->type = UEI_TYPE_VOID;
      break;
    case 4:
      reply->type = UEI_TYPE_BYTE;
      reply->value.byteVal = packet->data[3];
      break;
    case 5:
      reply->type = UEI_TYPE_SHORT;
      reply->value.shortVal = aUEI_RetrieveShort(packet->data + 3);
      break;
    case 7:
      reply->type = UEI_TYPE_INT;
      reply->value.intVal = aUEI_RetrieveInt(packet->data + 3);
      break;
    default:
      break;
  }
}

}  // namespace

// Runs under the inbound FIFO's lock for every queued packet: it only compares, so one record
// judges any number of packets alike and a packet it accepts is decoded once it is ours. A stream
// packet (UEI_INDEX_STREAM in its index byte) is never a reply, whatever its option and index.
uint8_t Link::sUEIFilter(const aPacket* packet, const void* ref) {
  const auto* reply = static_cast<const uei*>(ref);
  return packet->address == reply->module && packet->dataSize > 2 && packet->data[0] == reply->command &&
         packet->data[1] == reply->option && (packet->data[2] & UEI_INDEX_STREAM) == 0 &&
         (packet->data[2] & UEI_INDEX_MASK) == reply->index;
}

aErr Link::sendUEI(uei request) {
  if (!isConnected()) return aErrConnection;
  if (!_validModule(request.module)) return aErrPacket;
  if (request.type == UEI_TYPE_BYTES) {
    if (request.value.bytes.length && !request.value.bytes.data) return aErrParam;
    _beforeRequest(_impl->linkId, request);
    return _queueBytes(_impl->linkId, request);
  }
  uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.index};
  size_t size = 3;
  if (!_appendValue(request, data, &size)) return aErrParam;
  _beforeRequest(_impl->linkId, request);
  return _queue(_impl->linkId, request.module, data, size);
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (!_validModule(request.module)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.index, subindex};
  size_t size = 4;
  if (!_appendValue(request, data, &size)) return aErrParam;
  _beforeRequest(_impl->linkId, request);
  return _queue(_impl->linkId, request.module, data, size);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
  return receiveUEI(module, command, option, index, reply, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* reply, aPacketFilterProc filter) {
  aPacket* packet = nullptr;
  const aErr received = reply ? awaitUEIPacket(module, *reply, filter, &packet) : aErrParam;
  if (received != aErrNone) return received;
  _decodeReply(packet, reply);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::awaitUEIPacket(uint8_t module, const uei& match, aPacketFilterProc filter, aPacket** packet) {
  if (!isConnected()) return aErrConnection;
  if (!_validModule(module)) return aErrPacket;
  if (!filter || !packet) return aErrParam;
  const aLinkID link = _impl->linkId;
  uint64_t waitMs = _isLongByteValue(match) ? kLongByteValueTimeoutMs : kReplyTimeoutMs;
  *packet = nullptr;
  aErr written = aErrNone;
  if (_isByteValueAcknowledgement(match)) {
    // The module answers once it has the last packet: the wait starts when that packet left.
    written = aLink_AwaitOutboundWritten(link, kOutboundStallMs);
    waitMs = _byteValueAcknowledgementMs(match.value.bytes.length);
  }
  if (written == aErrNone) *packet = aLink_AwaitFirst(link, filter, &match, waitMs);
  replyOrderAfterWait(link, _replyKind(match));
  return *packet ? aErrNone : aErrTimeout;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (!isConnected()) return aErrConnection;
  if (!_validModule(module)) return aErrPacket;
  uei match{};
  match.module = module;
  match.command = command;
  match.option = option;
  match.index = index;
  aLink_DrainPackets(_impl->linkId, sUEIFilter, &match);
  return aErrNone;
}

}  // namespace Tarnwick::Quillfern
