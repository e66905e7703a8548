// How many file descriptors this process has open: compared before and after, it shows a leak.
#pragma once

#include <dirent.h>

#include <cstddef>

namespace qftest {

inline size_t OpenDescriptorCount() {
  size_t count = 0;
  DIR* folder = opendir("/proc/self/fd");
  while (folder && readdir(folder)) ++count;
  if (folder) closedir(folder);
  return count;
}

}  // namespace qftest
