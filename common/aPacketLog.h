// Packet logs: a fixed-size ring of tagged records that a link fills with the traffic it carries
// and a caller drains (see aLogger.h for the thread that drains one into a file). The ring never
// blocks and never grows: when it is full the oldest whole records make room.
//
// Record layout in the ring (wrapping around the end of the storage):
//   [tag][n][n bytes]   tag 1 packet sent, 2 packet received, 3 text; n 0 to 255.
// For tags 1 and 2 the bytes are the packet's wire frame [address][dataSize][data].
// One byte of the ring always stays free, so a record needs n + 3 bytes of capacity.
//
// The ring itself has no lock: a link's log is used under the link's log lock (the per-link
// functions below take it), and a log made with aPacketLog_Create belongs to its caller.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aLink.h"

enum : uint8_t {
  aPACKETLOG_SENT = 1,
  aPACKETLOG_RECEIVED = 2,
  aPACKETLOG_TEXT = 3,
};

// Longest record the one-byte length field can describe.
constexpr uint32_t aPACKETLOG_MAX_RECORD = 255;
// Capacity of a link's log when none was set.
constexpr uint32_t aPACKETLOG_DEFAULT_SIZE = 0x10000;
// Largest capacity a link's log may be given.
constexpr int32_t aPACKETLOG_MAX_SIZE = 0x4000000;

struct aPacketLog {
  bool enabled;
  uint8_t* bytes;
  uint32_t capacity;
  uint32_t readIndex;   // first byte of the oldest record
  uint32_t writeIndex;  // where the next record begins; equal to readIndex when empty
};

// A new empty log, not enabled, with capacity bytes of storage; null for capacity 0 or when
// memory runs out.
aPacketLog* aPacketLog_Create(uint32_t capacity);

// Appends one record, dropping the oldest whole records as needed. A record the length field
// cannot describe (above 255 bytes) or that even an empty ring cannot hold (length + 2 not below
// the capacity) is refused; nothing is written or dropped on failure.
aErr aPacketLog_Put(aPacketLog* log, uint8_t tag, uint32_t length, const uint8_t* bytes);

// Takes the oldest record out: *tag, *length (on entry the room in buffer, on return the
// record's length) and its bytes in buffer. aErrNotFound when the log is empty; aErrOverrun when
// the room is below the record's length: *tag and *length are set and the record stays, so the
// caller can retry with more room.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* tag, uint32_t* length, uint8_t* buffer);

// Frees the log and clears *log; none is no error.
aErr aPacketLog_Destroy(aPacketLog** log);

// Per link, by id. A link records its traffic while its log exists and is enabled (received
// packets as tag 2 before the user filter sees them, the first packet of each write as tag 1);
// puts that fail are ignored. An id names no link when it names no registry entry or engine.

// The capacity the log will have when it is made: 0 (or below) for the default, at most
// aPACKETLOG_MAX_SIZE. Refused (aErrBusy) once the log exists, whatever the size.
aErr aLink_PacketDebug_SetLogSize(aLinkID id, int32_t size);

// Makes the link's log if there is none and enables it. A log keeps its capacity until the link
// goes.
aErr aLink_PacketDebug_Enable(aLinkID id);

// Stops the recording of the link's traffic; the records stay readable. aErrNotReady when the
// link has no log, here and for the two below.
aErr aLink_PacketDebug_Disable(aLinkID id);

// aPacketLog_Get on the link's log under its lock.
aErr aLink_PacketDebug_Read(aLinkID id, uint8_t* tag, uint32_t* length, uint8_t* buffer);

// aPacketLog_Put on the link's log under its lock (also while it is disabled).
aErr aLink_PacketDebug_Write(aLinkID id, uint8_t tag, uint32_t length, const uint8_t* bytes);
