// Whole-file reads for assertions on what code under test left on disk.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace qftest {

// The file's bytes as text; empty when it cannot be read.
inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace qftest
