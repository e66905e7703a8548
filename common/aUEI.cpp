#include "common/aUEI.h"
#include "common/aByteOrder.h"

#include <algorithm>
#include <array>

namespace {

// Command bytes the link engine handles itself; every other command byte names an entity.
constexpr std::array<uint8_t, 13> sLinkLevelCommands = {0x00, 0x01, 0x02, 0x04, 0x08, 0x09, 0x17,
                                                        0x18, 0x49, 0x5E, 0x5F, 0xAD, 0xAF};

constexpr uint8_t sStreamMinDataSize = 5;
constexpr uint8_t sFullChunkDataSize = 27;

// The number of data bytes a packet may be trusted with (a caller can write the field).
uint8_t sDataSize(const aPacket* packet) { return packet ? std::min(packet->dataSize, aPACKET_MAX_DATA) : 0; }

// The last data byte of a byte-sequence chunk, 0 without data bytes.
uint8_t sSequenceByte(const aPacket* packet) {
  const uint8_t size = sDataSize(packet);
  return size ? packet->data[size - 1] : 0;
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* p) { return p ? aByteOrder_ReadBE16(p) : 0; }

void aUEI_StoreShort(uint8_t* p, uint16_t value) {
  if (p) aByteOrder_WriteBE16(p, value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p) { return p ? aByteOrder_ReadBE32(p) : 0; }

void aUEI_StoreInt(uint8_t* p, uint32_t value) {
  if (p) aByteOrder_WriteBE32(p, value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (!words) return;
  for (size_t i = 0; i < count; ++i) words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!packet) return false;
  return std::find(sLinkLevelCommands.begin(), sLinkLevelCommands.end(), packet->data[0]) != sLinkLevelCommands.end();
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet && sDataSize(packet) >= sStreamMinDataSize && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & UEI_ACK) == 0 && (packet->data[2] & UEI_INDEX_STREAM) != 0;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) { return sSequenceByte(packet) & UEI_BYTES_SEQUENCE_MASK; }

bool aUEI_getBytesContinue(const aPacket* packet) { return (sSequenceByte(packet) & UEI_BYTES_CONTINUE) != 0; }

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet && (packet->dataSize == sFullChunkDataSize || packet->dataSize == aPACKET_MAX_DATA);
}
