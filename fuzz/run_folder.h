// The fuzz run's own folder under /tmp, made on first use and removed at exit. One per program:
// the name given on the first call is the one used.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

inline const std::string& runFolder(const char* name) {
  // The name outlives the string, which exit destroys before it runs the handler.
  static char made[256];
  static const std::string folder = [name] {
    std::snprintf(made, sizeof made, "/tmp/%s.XXXXXX", name);
    if (!mkdtemp(made)) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    return std::string(made);
  }();
  return folder;
}
