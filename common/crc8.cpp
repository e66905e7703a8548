#include "common/crc8.h"

#include <array>

namespace {

// The reflected form of polynomial 0x31: bits are processed least significant first.
constexpr uint8_t sReflectedPolynomial = 0x8C;

constexpr std::array<uint32_t, 256> sMakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t index = 0; index < 256; ++index) {
    uint8_t crc = static_cast<uint8_t>(index);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ sReflectedPolynomial) : static_cast<uint8_t>(crc >> 1);
    }
    table[index] = crc;
  }
  return table;
}

// The standard table of the CRC, built at compile time; the low byte of each word is used.
constexpr std::array<uint32_t, 256> _crc8LUT = sMakeTable();

}  // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte) { return static_cast<uint8_t>(_crc8LUT[crc ^ byte] & 0xFF); }

uint8_t crc8_create(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  if (!data) return crc;
  for (size_t i = 0; i < length; ++i) crc = crc8_update(crc, data[i]);
  return crc;
}

bool crc8_check(const uint8_t* data, size_t length, uint8_t crc) { return crc8_create(data, length) == crc; }
