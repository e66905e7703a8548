#include "updater/ReplaceFile.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

std::string ReplaceFile_TemporaryPath(const std::string& path) {
  static std::atomic<unsigned> serial{0};
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  char name[64];
  snprintf(name, sizeof name, ".tmp-%ld-%u", static_cast<long>(getpid()), serial++);
  return folder + name;
}

aErr ReplaceFile_Finish(const std::string& temporary, const std::string& path, bool written) {
  if (written && std::rename(temporary.c_str(), path.c_str()) == 0) return aErrNone;
  aFile_Delete(temporary.c_str());
  return aErrIO;
}
