// EntityClass: the base of every entity (an entity class and an index on one module) through
// which its options are read, written and called with entity requests (see api/uei.h for the
// wire format), and raw packets are exchanged with the module.
//
// Contracts:
// - Every operation runs on the caller's thread and blocks until the reply came or its wait
//   ended (1000 ms per reply packet; 4000 ms for byte values of more than 1000 bytes).
// - Operations that talk to the module fail without sending anything when the entity has no
//   module, link or connection, or the module address is not valid. An error reply comes back
//   as the module's own result code, and never reads as success.
// - A get reads the link's stream cache first and asks the module only when nothing is cached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/Link.h"
#include "api/uei.h"
#include "common/aError.h"
#include "common/aPacket.h"

namespace Tarnwick::Quillfern {

class Module;
class Link;

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  // Binds the entity; the module is not owned and must outlive the binding.
  void init(Module* module, uint8_t entityClass, uint8_t index);
  uint8_t getIndex() const;

  // Raw packets with the module's address (Link::sendPacket, Link::receivePacket).
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

  // The get of one value; the reply's value and type land in the record (a record of type
  // UEI_TYPE_BYTE asks for the subindex in its byteVal). Options run from 0 to 63.
  aErr getUEI(uint8_t option, uei* value);
  // The set (or, with UEI_TYPE_VOID, the call) of one value, and its acknowledgement.
  aErr setUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
  aErr callUEI(uint8_t option);
  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

  // Gets of a scalar: the value (its low 8, 16 or 32 bits) is stored on success and on
  // aErrStreamStale (a cached sample read before), and left alone when the reply carried none.
  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

  // Reads a byte value into buffer; *count receives the bytes received, also on failure. A value
  // that does not fit gives aErrMemory with the whole chunks that did; the rest of its chunks
  // are taken and dropped before it returns. Chunks still queued from an earlier read of the
  // same option are discarded before the request goes out.
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count);
  // Turns a byte count into a count of units; aErrMemory when it is not a multiple of the unit.
  static aErr getUEIBytesCheck(size_t* count, size_t unit);
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static uint8_t getUEIBytesContinue(const aPacket* packet);

  // Waits, sending nothing, up to 1000 ms for a packet of this entity with exactly this option
  // byte, and stores its value. The last argument has no effect.
  aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
  // Discards every queued reply of this entity with exactly this option byte.
  aErr drainUEI(uint8_t option);

  // Streams of this entity's values (see Link's stream subscriptions): all its options, one
  // option with a callback, and the values cached for the entity.
  aErr setStreamEnabled(uint8_t enable);
  aErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void* ref);
  aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

  // The module's entity settings store (class 92): save, reset to factory defaults, load.
  aErr saveEntityToStore();
  aErr resetEntityToFactoryDefaults();
  aErr loadEntityFromStore();

  // The byte-value reply predicate (an aPacketFilterProc over a uei record set up for receipt):
  // accepts this entity option's chunk with the expected sequence number, an error reply, and a
  // packet too short to be a chunk. It changes nothing; the reader decodes what it took (a chunk
  // that would overflow reads as aErrMemory, a packet too short as aErrPacket).
  static uint8_t sUEIBytesFilter(const aPacket* packet, const void* reply);

  struct impl;

 private:
  aErr _storeRequest(uint8_t option);

  std::unique_ptr<impl> _impl;
};

}  // namespace Tarnwick::Quillfern
