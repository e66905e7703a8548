#include "firmware/Base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The "=" characters that close a text whose last group holds 0, 1 or 2 bytes.
constexpr size_t kPaddingOfRemainder[] = {0, 2, 1};

// The 6-bit value of each character, -1 for characters outside the alphabet ("=" included).
constexpr std::array<int8_t, 256> decodingTable() {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (int8_t value = 0; value < 64; ++value) table[static_cast<unsigned char>(kAlphabet[value])] = value;
  return table;
}

constexpr std::array<int8_t, 256> kDecoding = decodingTable();

int sextet(char c) { return kDecoding[static_cast<unsigned char>(c)]; }

}  // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
  if (outLength) *outLength = 0;
  if (text == nullptr || outLength == nullptr || length == 0 || length % 4 != 0) return nullptr;
  size_t padding = 0;
  if (text[length - 1] == '=') ++padding;
  if (padding && text[length - 2] == '=') ++padding;
  const size_t dataChars = length - padding;
  for (size_t i = 0; i < dataChars; ++i) {
    if (sextet(text[i]) < 0) return nullptr;
  }

  const size_t size = length / 4 * 3 - padding;
  auto* bytes = static_cast<unsigned char*>(std::malloc(size + 1));
  if (bytes == nullptr) return nullptr;
  bytes[size] = 0;
  size_t written = 0;
  for (size_t group = 0; group < length; group += 4) {
    uint32_t value = 0;
    for (size_t k = group; k < group + 4; ++k)
      value = (value << 6) | static_cast<uint32_t>(k < dataChars ? sextet(text[k]) : 0);
    for (int shift = 16; shift >= 0 && written < size; shift -= 8)
      bytes[written++] = static_cast<unsigned char>(value >> shift);
  }
  *outLength = size;
  return bytes;
}

char* base64_encode(const unsigned char* bytes, size_t length, size_t* outLength) {
  if (outLength) *outLength = 0;
  if (outLength == nullptr || (bytes == nullptr && length != 0)) return nullptr;
  if (length / 3 >= std::numeric_limits<size_t>::max() / 4 - 1) return nullptr;
  const size_t size = 4 * ((length + 2) / 3);
  auto* text = static_cast<char*>(std::malloc(size + 1));
  if (text == nullptr) return nullptr;
  size_t out = 0;
  for (size_t i = 0; i < length; i += 3) {
    uint32_t value = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < length) value |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < length) value |= bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) text[out++] = kAlphabet[(value >> shift) & 0x3F];
  }
  for (size_t i = 0; i < kPaddingOfRemainder[length % 3]; ++i) text[size - 1 - i] = '=';
  text[size] = '\0';
  *outLength = size;
  return text;
}
