#include "common/aPacket.h"

#include <cstring>
#include <new>

#include "common/aUEI.h"

namespace {

// Wire positions of the two header bytes; data follows from sFirstDataPosition.
constexpr uint8_t sAddressPosition = 0;
constexpr uint8_t sLengthPosition = 1;
constexpr uint8_t sFirstDataPosition = 2;

aPacket* sNewPacket() {
  aPacket* packet = new (std::nothrow) aPacket{};
  if (packet) packet->check = aPACKET_CHECK;
  return packet;
}

// Answers data[position] masked, for a packet that holds that many data bytes.
aErr sDataByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
  if (!out) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= position || packet->dataSize > aPACKET_MAX_DATA) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

// The packet's fields describe a frame that fits its record. A caller can write the public
// fields directly, so assembly checks this before it trusts fillCount as a position.
bool sIsConsistent(const aPacket* packet) {
  return packet->dataSize <= aPACKET_MAX_DATA && packet->fillCount <= packet->dataSize + sFirstDataPosition &&
         (packet->fillCount > sAddressPosition || packet->address == 0) &&
         (packet->fillCount > sLengthPosition || packet->dataSize == 0);
}

}  // namespace

aPacket* aPacket_Create() { return sNewPacket(); }

aErr aPacket_Complete(aPacket* packet, uint8_t address, uint8_t dataSize) {
  if (!packet || dataSize > aPACKET_MAX_DATA) return aErrParam;
  packet->check = aPACKET_CHECK;
  packet->address = address;
  packet->dataSize = dataSize;
  packet->fillCount = dataSize + sFirstDataPosition;
  return aErrNone;
}

aErr aPacket_Fill(aPacket* packet, uint8_t address, uint8_t dataSize, const uint8_t* data) {
  if (!packet || !data || dataSize > aPACKET_MAX_DATA) return aErrParam;
  std::memcpy(packet->data, data, dataSize);
  std::memset(packet->data + dataSize, 0, aPACKET_MAX_DATA - dataSize);
  return aPacket_Complete(packet, address, dataSize);
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t dataSize, const uint8_t* data) {
  if (!data || dataSize > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = sNewPacket();
  if (packet) aPacket_Fill(packet, address, dataSize, data);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) { return sDataByte(packet, 0, 0xFF, cmd); }

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) { return sDataByte(packet, 1, UEI_OPTION_MASK, option); }

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) { return sDataByte(packet, 2, UEI_INDEX_MASK, index); }

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->fillCount = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

// The fill count is the wire position of the next byte, so a byte can only land in its own
// field, and a refused byte changes nothing: a caller that goes on feeding bytes after an error
// can neither corrupt the record nor produce a complete packet from a bad frame.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  if (!sIsConsistent(packet)) return aErrPacket;
  const uint8_t position = packet->fillCount;
  if (position >= aPACKET_MAX_FRAME) return aErrOverrun;
  if (position == sAddressPosition) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
  } else if (position == sLengthPosition) {
    if (byte > aPACKET_MAX_DATA) return aErrPacket;
    packet->dataSize = byte;
  } else {
    if (aPacket_IsComplete(packet)) return aErrPacket;
    packet->data[position - sFirstDataPosition] = byte;
  }
  packet->fillCount = position + 1;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->fillCount == packet->dataSize + sFirstDataPosition;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t room, size_t* written) {
  if (!aVALIDPACKET(packet) || !buffer || packet->dataSize > aPACKET_MAX_DATA) return aErrParam;
  const size_t frameSize = packet->dataSize + sFirstDataPosition;
  if (room < frameSize) return aErrOverrun;
  buffer[sAddressPosition] = packet->address;
  buffer[sLengthPosition] = packet->dataSize;
  std::memcpy(buffer + sFirstDataPosition, packet->data, packet->dataSize);
  if (written) *written = frameSize;
  return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !*packet) return aErrParam;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}

bool aPacket_IsHeartbeat(const aPacket* packet) { return packet && packet->dataSize == 2 && packet->data[0] == 0; }
