// One link packet: a module address, a length and up to 28 data bytes. Whoever creates or
// receives a packet owns it and releases it with aPacket_Destroy. Packet records are not
// synchronised: a packet belongs to one thread at a time.
//
// Wire frame, the same on every transport before any transport framing:
//   [address][dataSize][data...]   2 to 30 bytes, no checksum at this layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

constexpr uint8_t aPACKET_MAX_DATA = 28;
constexpr uint16_t aPACKET_CHECK = 0xBEEF;
// Longest wire frame: address, length and a full payload.
constexpr uint8_t aPACKET_MAX_FRAME = aPACKET_MAX_DATA + 2;

struct aPacket {
  uint16_t check;                  // aPACKET_CHECK while the record is a valid packet
  uint8_t fillCount;               // wire bytes taken by aPacket_AddByte; dataSize + 2 once complete
  uint8_t address;                 // module address; 0 is never sent on the wire
  uint8_t dataSize;                // valid bytes in data, 0 to aPACKET_MAX_DATA
  uint8_t data[aPACKET_MAX_DATA];  // data[0] command, data[1] option, data[2] index
};

// A pointer that may be used as a packet: non-null and carrying the check word.
inline bool aVALIDPACKET(const aPacket* packet) { return packet != nullptr && packet->check == aPACKET_CHECK; }

// A new packet, all zero but the check word; null when memory runs out.
aPacket* aPacket_Create();

// A new complete packet holding a copy of dataSize bytes. Null when data is null (even for
// size 0), when dataSize is above aPACKET_MAX_DATA, or when memory runs out.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t dataSize, const uint8_t* data);

// Makes the caller's record (one of an array, say) a complete packet holding a copy of dataSize
// bytes, as aPacket_CreateWithData makes a new one; aErrParam under the same conditions, the
// record then left as it was.
aErr aPacket_Fill(aPacket* packet, uint8_t address, uint8_t dataSize, const uint8_t* data);

// Makes the caller's record, whose data bytes the caller wrote in place, a complete packet of
// dataSize bytes to the address; aErrParam for a null record or a size above aPACKET_MAX_DATA.
// Data bytes past dataSize are left as they are.
aErr aPacket_Complete(aPacket* packet, uint8_t address, uint8_t dataSize);

// A new packet with the same address and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);

// data[0], data[1] & UEI_OPTION_MASK, data[2] & UEI_INDEX_MASK; aErrPacket when the packet is
// invalid or too short to hold that byte.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears address, length, fill count and data, ready for a new assembly.
aErr aPacket_Reset(aPacket* packet);

// Takes the next wire byte of a frame: the address, then the length, then the data. A refused
// byte (a zero address, a length above aPACKET_MAX_DATA, a byte past the frame's end) leaves the
// packet as it was: it never writes outside data and never makes the packet complete. The caller
// tests aPacket_IsComplete after every byte and resets the packet before the next frame.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// The packet is valid and holds a whole frame (fillCount == dataSize + 2).
bool aPacket_IsComplete(const aPacket* packet);

// A heartbeat from the module: [A][2][0][n], n telling up (0) from down (1); false for null.
bool aPacket_IsHeartbeat(const aPacket* packet);

// Writes the wire frame, dataSize + 2 bytes, into buffer and its length into *written (optional);
// nothing is written when room is smaller than the frame.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t room, size_t* written);

// Frees the packet and clears the caller's pointer. Does not look at the check word.
aErr aPacket_Destroy(aPacket** packet);
