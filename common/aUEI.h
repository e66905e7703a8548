// Stateless tests on the payload of a link packet (link-level command, entity request or reply,
// stream value, chunk of a byte sequence) and big-endian value access. Every packet argument
// may be null.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

// Option byte (data[1]).
constexpr uint8_t UEI_OPTION_MASK = 0x3F;
constexpr uint8_t UEI_GET = 0x40;
constexpr uint8_t UEI_SET = 0x80;
constexpr uint8_t UEI_ACK = 0xC0;
// Index byte (data[2]).
constexpr uint8_t UEI_INDEX_MASK = 0x1F;
constexpr uint8_t UEI_INDEX_REQUEST = 0x20;
constexpr uint8_t UEI_INDEX_STREAM = 0x40;
constexpr uint8_t UEI_INDEX_ERROR = 0x80;
// Last data byte of a byte-sequence chunk.
constexpr uint8_t UEI_BYTES_SEQUENCE_MASK = 0x7F;
constexpr uint8_t UEI_BYTES_CONTINUE = 0x80;

// Big-endian 16- and 32-bit values in a byte buffer.
uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* p, uint32_t value);

// Converts count 32-bit words in place from big-endian byte order to host values.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// data[0] is a link-level command byte (0, 1, 2, 4, 8, 9, 23, 24, 0x49, 0x5E, 0x5F, 0xAD,
// 0xAF), whatever the packet's length; false for a null packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// The negation of aUEI_isNotUEIPayload: a null packet counts as an entity payload.
bool aUEI_isUEIPayload(const aPacket* packet);
// An entity packet of more than 4 data bytes that is neither a get, a set nor an
// acknowledgement and carries UEI_INDEX_STREAM in its index byte.
bool aUEI_isStreamPacket(const aPacket* packet);

// Of a byte-sequence chunk: its sequence number (last data byte & UEI_BYTES_SEQUENCE_MASK) and
// whether more chunks follow (UEI_BYTES_CONTINUE); 0 and false without data bytes.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
// The packet carries a full chunk (27 or 28 data bytes).
bool aUEI_getBytesFullPacket(const aPacket* packet);
