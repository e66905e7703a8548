// Owning handles and makers for link packets in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/aPacket.h"

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using OwnedPacket = std::unique_ptr<aPacket, PacketDeleter>;

// A complete packet to the address with the given data bytes (an empty vector may have no
// buffer at all, and the packet maker refuses a null data pointer even for no bytes).
inline OwnedPacket MakePacket(uint8_t address, const std::vector<uint8_t>& data) {
  static const uint8_t kNoData = 0;
  return OwnedPacket(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                            data.empty() ? &kNoData : data.data()));
}

inline std::vector<uint8_t> PacketData(const aPacket* packet) {
  return std::vector<uint8_t>(packet->data, packet->data + packet->dataSize);
}
