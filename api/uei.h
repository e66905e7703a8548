// One entity request or reply, as the object layer builds and receives it.
//
// Entity requests are ordinary link packets to the module's address:
//   [class][option byte][index byte][value, big-endian]        (subindexed: [subindex][value])
// option byte: option number (UEI_OPTION_MASK) | UEI_GET or UEI_SET; index byte: entity index
// (UEI_INDEX_MASK) | UEI_INDEX_REQUEST. The module replies from its own address with the same
// class, the bare option (a get) or option | UEI_ACK (a set or call), the index, and the value,
// whose width the reply's data length tells: 3 none, 4 8-bit, 5 16-bit, 7 32-bit. UEI_INDEX_ERROR
// in the reply's index byte marks an error reply whose next byte is the module's result code.
// Byte values travel in chunks [class][option][index][0-24 bytes][sequence byte]: sequence
// number mod 128 (UEI_BYTES_SEQUENCE_MASK) | UEI_BYTES_CONTINUE while more chunks follow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aUEI.h"

namespace Tarnwick::Quillfern {

// Value types (uei::type). 3 is not a type.
constexpr uint32_t UEI_TYPE_VOID = 0;   // no value: a get, or a call
constexpr uint32_t UEI_TYPE_BYTE = 1;   // unsigned 8-bit
constexpr uint32_t UEI_TYPE_SHORT = 2;  // unsigned 16-bit
constexpr uint32_t UEI_TYPE_INT = 4;    // unsigned 32-bit
constexpr uint32_t UEI_TYPE_BYTES = 5;  // byte sequence, in chunks

// Bytes of a byte value carried by one packet (every chunk but the last is full).
constexpr size_t UEI_BYTES_CHUNK = 24;

// The request and reply record; callers build it on their stack, zeroed, and own it.
struct uei {
  uint8_t module;   // module address
  uint8_t command;  // entity class
  uint8_t option;   // option byte as sent, or as expected in the reply
  uint8_t index;    // index byte as sent, or as expected; after an error reply the reply's
                    // index byte (UEI_INDEX_ERROR set)
  union {
    uint8_t byteVal;  // after an error reply: the module's result code
    uint16_t shortVal;
    uint32_t intVal;
    struct {
      uint8_t* data;      // the bytes to send, or where the next received chunk goes
      uint8_t sequence;   // receiving: the sequence number expected next
      uint8_t continues;  // receiving: continue flag of the last accepted chunk
      size_t length;      // sending: bytes to send; receiving: capacity left at data's start
      size_t* received;   // receiving: running count of bytes received (the caller's variable)
    } bytes;
  } value;
  uint32_t type;  // a UEI_TYPE_*; after a reply, the reply's (by its data length)
};

// An error flagged by the module as a result code: a flagged error never reads as success,
// also when the module sent code 0 or no code at all.
inline aErr ueiModuleError(uint8_t code) { return code != aErrNone ? aErr{code} : aErr{aErrUnknown}; }

}  // namespace Tarnwick::Quillfern
