// Numbers in the module's wire order (most significant byte first), for the simulated module's
// handlers. Written from the module's side; nothing of the device library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qfsim {

// Appends the low `width` bytes of the value, most significant first.
inline void simAppendBigEndian(std::vector<std::uint8_t>& bytes, std::uint64_t value, std::size_t width) {
  for (std::size_t i = width; i-- > 0;) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The low `width` bytes of the value, most significant first.
inline std::vector<std::uint8_t> simBigEndian(std::uint64_t value, std::size_t width) {
  std::vector<std::uint8_t> bytes;
  simAppendBigEndian(bytes, value, width);
  return bytes;
}

// The number `width` bytes at `at` make, most significant first (the caller checks the size).
inline std::uint32_t simReadBigEndian(const std::vector<std::uint8_t>& data, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | data[at + i];
  return value;
}

}  // namespace qfsim
