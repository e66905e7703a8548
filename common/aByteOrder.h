// 16- and 32-bit values in a fixed byte order at any byte address: big-endian as the link's
// packets and firmware files carry them, little-endian as discovery replies and the ROM loader
// carry them. Nothing is assumed about alignment; the caller guarantees the bytes are there.
#pragma once

#include <cstdint>

inline uint16_t aByteOrder_ReadBE16(const uint8_t* p) { return static_cast<uint16_t>(uint16_t{p[0]} << 8 | p[1]); }

inline uint32_t aByteOrder_ReadBE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline uint16_t aByteOrder_ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(uint16_t{p[1]} << 8 | p[0]); }

inline uint32_t aByteOrder_ReadLE32(const uint8_t* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

inline void aByteOrder_WriteBE16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

inline void aByteOrder_WriteBE32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

inline void aByteOrder_WriteLE16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

inline void aByteOrder_WriteLE32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}
