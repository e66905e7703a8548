// Points the updater's diagnostic log at an in-memory stream with the given packages active, for
// the life of the object; afterwards the log is silent again (no stream, no package).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/Log.h"

namespace qftest {

class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : _stream(open_memstream(&_buffer, &_size)) {
    Log::SetOutput(_stream);
    Log::ActivatePackage(packages);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    std::fclose(_stream);
    std::free(_buffer);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string text() {
    std::fflush(_stream);
    return std::string(_buffer, _size);
  }

 private:
  char* _buffer = nullptr;
  size_t _size = 0;
  FILE* _stream;
};

}  // namespace qftest
