// Feeds arbitrary stream bytes into packet assembly, the way a link reader does (reset after an
// error or a complete frame) or the way a framing writer does (refused bytes skipped, the packet
// kept), and checks that the record stays consistent and that every complete packet's wire
// frame assembles again into the same packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/aPacket.h"

namespace {

void sRequire(bool condition) {
  if (!condition) std::abort();
}

void sRequireConsistent(const aPacket* packet) {
  sRequire(aVALIDPACKET(packet));
  sRequire(packet->dataSize <= aPACKET_MAX_DATA);
  sRequire(packet->fillCount <= packet->dataSize + 2);
}

void sRequireRoundTrip(const aPacket* packet) {
  uint8_t frame[aPACKET_MAX_FRAME];
  size_t length = 0;
  sRequire(aPacket_GetBytes(packet, frame, sizeof frame, &length) == aErrNone);
  aPacket* again = aPacket_Create();
  sRequire(again != nullptr);
  for (size_t i = 0; i < length; ++i) sRequire(aPacket_AddByte(again, frame[i]) == aErrNone);
  sRequire(aPacket_IsComplete(again));
  sRequire(again->address == packet->address && again->dataSize == packet->dataSize);
  sRequire(std::memcmp(again->data, packet->data, packet->dataSize) == 0);
  aPacket_Destroy(&again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool resetAfterError = data[0] & 1;
  aPacket* packet = aPacket_Create();
  if (!packet) return 0;
  for (size_t i = 1; i < size; ++i) {
    const aErr result = aPacket_AddByte(packet, data[i]);
    sRequireConsistent(packet);
    if (result != aErrNone && resetAfterError) {
      aPacket_Reset(packet);
    } else if (aPacket_IsComplete(packet)) {
      sRequireRoundTrip(packet);
      if (resetAfterError || (data[i] & 0x80)) aPacket_Reset(packet);
    }
  }
  aPacket_Destroy(&packet);
  return 0;
}
