// Sends the diagnostic log into memory for the life of the object, with the given packages
// active; afterwards the log is silent again (no stream, no package).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "firmware/Log.h"

namespace qftest {

class LogCapture {
 public:
  explicit LogCapture(uint32_t packages = 0xFFFFFFFFu) {
    stream = open_memstream(&buffer, &size);
    Log::SetOutput(stream);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(packages);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    fclose(stream);
    free(buffer);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    fflush(stream);
    return std::string(buffer, size);
  }
  bool contains(const std::string& piece) { return text().find(piece) != std::string::npos; }
  size_t count(const std::string& piece) {
    std::string all = text();
    size_t found = 0;
    for (size_t at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) ++found;
    return found;
  }
  FILE* file() { return stream; }

 private:
  FILE* stream = nullptr;
  char* buffer = nullptr;
  size_t size = 0;
};

}  // namespace qftest
