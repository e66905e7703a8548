// An input file in memory, reached by its /proc/self/fd name, so that a reader goes through its
// real file path without touching the disk; rewritten for every input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

class MemoryFile {
 public:
  MemoryFile() : fd(memfd_create("fuzz_input", 0)) { snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
  ~MemoryFile() { close(fd); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the file's contents; the path to read them by.
  const char* write(const uint8_t* data, size_t size) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    return path;
  }

 private:
  int fd;
  char path[64];
};
