// Owning handles, makers and a recording predicate for link packets in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
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
  return OwnedPacket(
      aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.empty() ? &kNoData : data.data()));
}

// A packet told apart from others by its tag, the command byte.
inline OwnedPacket MakeTagged(uint8_t tag) { return MakePacket(0x02, {tag, 0x00, 0x00}); }

inline std::vector<uint8_t> PacketData(const aPacket* packet) {
  return std::vector<uint8_t>(packet->data, packet->data + packet->dataSize);
}

// A packet predicate's reference: accepts the listed tags and records every tag offered to it.
struct TagPicker {
  explicit TagPicker(std::set<uint8_t> accept) : accepted(std::move(accept)) {}

  std::set<uint8_t> accepted;
  mutable std::vector<uint8_t> offered;

  static uint8_t Pick(const aPacket* packet, const void* ref) {
    const auto* picker = static_cast<const TagPicker*>(ref);
    picker->offered.push_back(packet->data[0]);
    return picker->accepted.count(packet->data[0]) ? 1 : 0;
  }
};
