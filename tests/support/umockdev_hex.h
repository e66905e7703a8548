// Bytes as the unbroken lower-case hex that umockdev's "H:" (binary attribute) records take.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qftest {

inline std::string UmockdevHex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

}  // namespace qftest
