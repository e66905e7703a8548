#include "api/Entity.h"

#include <cstring>
#include <optional>
#include <utility>

#include "api/Entity_impl.h"
#include "api/Link.h"
#include "api/Module.h"

namespace Tarnwick::Quillfern {

namespace {

constexpr uint8_t kStoreEntityClass = 0x5C;
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreFactoryDefaults = 1;
constexpr uint8_t kStoreLoad = 2;

// The scalar a reply carried, by its type; false when it carried none.
bool _replyValue(const uei& reply, uint32_t* value) {
  switch (reply.type) {
    case UEI_TYPE_BYTE:
      *value = reply.value.byteVal;
      return true;
    case UEI_TYPE_SHORT:
      *value = reply.value.shortVal;
      return true;
    case UEI_TYPE_INT:
      *value = reply.value.intVal;
      return true;
    default:
      return false;
  }
}

template <class T>
aErr _getScalar(EntityClass& entity, uint8_t option, uei& request, T* out) {
  if (!out) return aErrParam;
  const aErr result = entity.getUEI(option, &request);
  if (result != aErrNone && result != aErrStreamStale) return result;
  uint32_t value = 0;
  if (!_replyValue(request, &value)) return aErrSize;
  *out = static_cast<T>(value);
  return result;
}

uei _request(uint32_t type) {
  uei request{};
  request.type = type;
  return request;
}

}  // namespace

Link* EntityClass::impl::link() const { return module ? module->getLink() : nullptr; }

EntityClass::EntityClass() : _impl(std::make_unique<impl>()) { _impl->owner = this; }

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t entityClass, uint8_t index) {
  _impl->module = module;
  _impl->entityClass = entityClass;
  _impl->index = index;
}

uint8_t EntityClass::getIndex() const { return _impl->index; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return link->sendPacket(_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return link->receivePacket(_impl->module->getModuleAddress(), match, length, buffer);
}

aErr EntityClass::getUEI(uint8_t option, uei* value) {
  if (!value || option > UEI_OPTION_MASK) return aErrParam;
  Link* link = _impl->link();
  if (!link) return aErrResource;
  const uint8_t address = _impl->module->getModuleAddress();
  const uint8_t entityClass = _impl->entityClass;
  const uint8_t index = _impl->index;

  const uint8_t subindex = value->type == UEI_TYPE_BYTE ? value->value.byteVal : 0;
  uint32_t cached = 0;
  const aErr fromCache = link->getStreamValue(address, entityClass, option, index, subindex, &cached);
  if (fromCache != aErrNotFound) {
    if (fromCache == aErrNone || fromCache == aErrStreamStale) {
      value->value.intVal = cached;
      value->type = UEI_TYPE_INT;
    }
    return fromCache;
  }

  value->module = address;
  value->command = entityClass;
  value->option = static_cast<uint8_t>(option | UEI_GET);
  value->index = static_cast<uint8_t>(index | UEI_INDEX_REQUEST);
  const aErr sent = link->sendUEI(*value);
  if (sent != aErrNone) return sent;

  value->option = option;
  value->index = index;
  value->type = UEI_TYPE_VOID;  // until a reply brings a value
  const aErr received = link->receiveUEI(address, entityClass, option, index, value);
  if (received != aErrNone) return received;
  if (value->index & UEI_INDEX_ERROR) return ueiModuleError(value->value.byteVal);
  return aErrNone;
}

namespace {

// The set, subindexed or not, and the wait for its acknowledgement.
aErr _setAndAcknowledge(Module* module, Link* link, uint8_t entityClass, uint8_t index, uint8_t option,
                        std::optional<uint8_t> subindex, uei* value) {
  const uint8_t address = module->getModuleAddress();
  value->module = address;
  value->command = entityClass;
  value->option = static_cast<uint8_t>(option | UEI_SET);
  value->index = static_cast<uint8_t>(index | UEI_INDEX_REQUEST);
  const aErr sent = subindex ? link->sendUEI(*value, *subindex) : link->sendUEI(*value);
  if (sent != aErrNone) return sent;
  value->option = static_cast<uint8_t>(option | UEI_ACK);
  value->index = index;
  const aErr received = link->receiveUEI(address, entityClass, value->option, index, value);
  if (received != aErrNone) return received;
  if (value->index & UEI_INDEX_ERROR) return ueiModuleError(value->value.byteVal);
  return aErrNone;
}

// Writes what a packet taken by the byte-value reply predicate carries into the record: the
// module's error, a failure of its own (aErrPacket for a packet with no room for a sequence
// byte, aErrMemory for a chunk that does not fit, dropped whole), or the chunk, copied on and
// counted.
void _takeChunk(const aPacket* packet, uei* reply) {
  auto failWith = [reply](uint8_t code) {
    reply->index = static_cast<uint8_t>(reply->index | UEI_INDEX_ERROR);
    reply->value.byteVal = code;
  };
  if (packet->data[2] & UEI_INDEX_ERROR) {
    reply->index = packet->data[2];
    reply->value.byteVal = packet->dataSize > 3 ? packet->data[3] : 0;  // no code: see ueiModuleError
    reply->value.bytes.continues = 0;
    return;
  }
  if (packet->dataSize < 4) {
    reply->value.bytes.continues = 0;
    failWith(aErrPacket);
    return;
  }
  const uint8_t sequence = EntityClass::getUEIBytesSequence(packet);
  const size_t chunk = packet->dataSize - 4u;
  reply->value.bytes.sequence = sequence;
  // Whether more follow tells the reader what is still to come, also after a chunk that did not fit.
  reply->value.bytes.continues = EntityClass::getUEIBytesContinue(packet);
  if (*reply->value.bytes.received + chunk > reply->value.bytes.length) {
    failWith(aErrMemory);
    return;
  }
  std::memcpy(reply->value.bytes.data, packet->data + 3, chunk);
  reply->value.bytes.data += chunk;
  *reply->value.bytes.received += chunk;
}

// One byte-value reply packet, taken and decoded into the record.
aErr _receiveChunk(Link* link, uei* reply) {
  aPacket* packet = nullptr;
  const aErr received = link->awaitUEIPacket(reply->module, *reply, EntityClass::sUEIBytesFilter, &packet);
  if (received != aErrNone) return received;
  _takeChunk(packet, reply);
  aPacket_Destroy(&packet);
  return aErrNone;
}

// Takes the remaining chunks of a byte value whose reading broke off at a chunk that did not
// fit, so that none of them is left queued for a later read of the same option. Ends at the
// value's last chunk, at an error reply, or when no chunk came within a reply's wait.
void _discardRestOfValue(Link* link, const uei& broken) {
  uint8_t scratch[aPACKET_MAX_DATA];
  size_t received = 0;
  uei rest = broken;
  rest.index = static_cast<uint8_t>(broken.index & UEI_INDEX_MASK);
  while (rest.value.bytes.continues) {
    rest.value.bytes.sequence = static_cast<uint8_t>((rest.value.bytes.sequence + 1) & UEI_BYTES_SEQUENCE_MASK);
    rest.value.bytes.data = scratch;
    rest.value.bytes.length = sizeof scratch;
    received = 0;
    rest.value.bytes.received = &received;
    if (_receiveChunk(link, &rest) != aErrNone || (rest.index & UEI_INDEX_ERROR)) return;
  }
}

}  // namespace

aErr EntityClass::setUEI(uint8_t option, uei* value) {
  if (!value || option > UEI_OPTION_MASK) return aErrParam;
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return _setAndAcknowledge(_impl->module, link, _impl->entityClass, _impl->index, option, std::nullopt, value);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value) {
  if (!value || option > UEI_OPTION_MASK) return aErrParam;
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return _setAndAcknowledge(_impl->module, link, _impl->entityClass, _impl->index, option, subindex, value);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei request = _request(UEI_TYPE_VOID);
  return setUEI(option, &request);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei request = _request(UEI_TYPE_BYTE);
  request.value.byteVal = value;
  return setUEI(option, &request);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei request = _request(UEI_TYPE_SHORT);
  request.value.shortVal = value;
  return setUEI(option, &request);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei request = _request(UEI_TYPE_INT);
  request.value.intVal = value;
  return setUEI(option, &request);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei request = _request(UEI_TYPE_BYTE);
  request.value.byteVal = value;
  return setUEI(option, subindex, &request);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei request = _request(UEI_TYPE_SHORT);
  request.value.shortVal = value;
  return setUEI(option, subindex, &request);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei request = _request(UEI_TYPE_INT);
  request.value.intVal = value;
  return setUEI(option, subindex, &request);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (length && !data) return aErrParam;
  uei request = _request(UEI_TYPE_BYTES);
  // Sending only reads through the pointer.
  request.value.bytes.data = const_cast<uint8_t*>(data);
  request.value.bytes.length = length;
  return setUEI(option, &request);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  uei request = _request(UEI_TYPE_VOID);
  return _getScalar(*this, option, request, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  uei request = _request(UEI_TYPE_VOID);
  return _getScalar(*this, option, request, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  uei request = _request(UEI_TYPE_VOID);
  return _getScalar(*this, option, request, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  uei request = _request(UEI_TYPE_BYTE);
  request.value.byteVal = subindex;
  return _getScalar(*this, option, request, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  uei request = _request(UEI_TYPE_BYTE);
  request.value.byteVal = subindex;
  return _getScalar(*this, option, request, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  uei request = _request(UEI_TYPE_BYTE);
  request.value.byteVal = subindex;
  return _getScalar(*this, option, request, value);
}

// Runs under the inbound FIFO's lock for every queued packet: it only compares.
uint8_t EntityClass::sUEIBytesFilter(const aPacket* packet, const void* ref) {
  const auto* reply = static_cast<const uei*>(ref);
  if (!Link::sUEIFilter(packet, reply)) return 0;
  if ((packet->data[2] & UEI_INDEX_ERROR) || packet->dataSize < 4) return 1;  // taken as error replies
  return getUEIBytesSequence(packet) == reply->value.bytes.sequence;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count) {
  if (!buffer || !count || length == 0 || option > UEI_OPTION_MASK) return aErrParam;
  *count = 0;
  Link* link = _impl->link();
  if (!link) return aErrResource;
  const uint8_t address = _impl->module->getModuleAddress();
  const uint8_t entityClass = _impl->entityClass;
  const uint8_t index = _impl->index;
  // Chunks an earlier read left behind would be taken for this value's.
  link->dropMatchingUEIPackets(address, entityClass, option, index);

  uei request = _request(UEI_TYPE_VOID);
  request.module = address;
  request.command = entityClass;
  request.option = static_cast<uint8_t>(option | UEI_GET);
  request.index = static_cast<uint8_t>(index | UEI_INDEX_REQUEST);
  const aErr sent = link->sendUEI(request);
  if (sent != aErrNone) return sent;

  uei reply = _request(UEI_TYPE_BYTES);
  reply.module = address;
  reply.command = entityClass;
  reply.option = option;
  reply.index = index;
  reply.value.bytes.data = buffer;
  reply.value.bytes.length = length;
  reply.value.bytes.received = count;
  for (;;) {
    const aErr received = _receiveChunk(link, &reply);
    if (received != aErrNone) return received;
    if (reply.index & UEI_INDEX_ERROR) {
      const aErr failure = ueiModuleError(reply.value.byteVal);
      if (reply.value.bytes.continues) _discardRestOfValue(link, reply);
      return failure;
    }
    if (!reply.value.bytes.continues) return aErrNone;
    reply.value.bytes.sequence = static_cast<uint8_t>((reply.value.bytes.sequence + 1) & UEI_BYTES_SEQUENCE_MASK);
  }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
  if (!count || unit == 0) return aErrParam;
  if (*count % unit != 0) return aErrMemory;
  *count /= unit;
  return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

uint8_t EntityClass::getUEIBytesContinue(const aPacket* packet) { return aUEI_getBytesContinue(packet) ? 1 : 0; }

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
  if (!value || option > 0xFF) return aErrParam;
  Link* link = _impl->link();
  if (!link) return aErrResource;
  const uint8_t address = _impl->module->getModuleAddress();
  uei reply = _request(UEI_TYPE_VOID);
  reply.module = address;
  reply.command = _impl->entityClass;
  reply.option = static_cast<uint8_t>(option);
  reply.index = _impl->index;
  const aErr received = link->receiveUEI(address, reply.command, reply.option, reply.index, &reply);
  if (received != aErrNone) return received;
  if (reply.index & UEI_INDEX_ERROR) return ueiModuleError(reply.value.byteVal);
  return _replyValue(reply, value) ? aErrNone : aErrSize;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return link->dropMatchingUEIPackets(_impl->module->getModuleAddress(), _impl->entityClass, option, _impl->index);
}

aErr EntityClass::setStreamEnabled(uint8_t enable) {
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return link->enableStream(_impl->module->getModuleAddress(), _impl->entityClass, 0xFF, _impl->index, enable != 0);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void* ref) {
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return link->registerStreamCallback(_impl->module->getModuleAddress(), _impl->entityClass, option, _impl->index,
                                      enable, std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Link* link = _impl->link();
  if (!link) return aErrResource;
  return link->getStreamStatus(_impl->module->getModuleAddress(), _impl->entityClass, 0xFF, _impl->index, 0xFF, entries,
                               capacity, count);
}

aErr EntityClass::_storeRequest(uint8_t option) {
  EntityClass store;
  store.init(_impl->module, kStoreEntityClass, 0);
  return store.setUEI32(option, static_cast<uint32_t>(_impl->entityClass) << 8 | _impl->index);
}

aErr EntityClass::saveEntityToStore() { return _storeRequest(kStoreSave); }

aErr EntityClass::resetEntityToFactoryDefaults() { return _storeRequest(kStoreFactoryDefaults); }

aErr EntityClass::loadEntityFromStore() { return _storeRequest(kStoreLoad); }

}  // namespace Tarnwick::Quillfern
