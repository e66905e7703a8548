#include "firmware/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// The path is complete only while the flag is set, so a handler never reads a half-copied path.
char gUnfinishedPath[4096];
volatile std::sig_atomic_t gUnfinishedSet = 0;

}  // namespace

void RememberUnfinishedFile(const std::string& path) {
  gUnfinishedSet = 0;
  if (path.size() >= sizeof gUnfinishedPath) return;
  std::memcpy(gUnfinishedPath, path.c_str(), path.size() + 1);
  gUnfinishedSet = 1;
}

void ForgetUnfinishedFile() { gUnfinishedSet = 0; }

void RemoveUnfinishedFile() {
  if (gUnfinishedSet) ::unlink(gUnfinishedPath);
}

bool ReplaceFile_MayWrite(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 || errno == ENOENT;
}

std::string ReplaceFile_TemporaryPath(const std::string& path) {
  static std::atomic<unsigned> serial{0};
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  char name[64];
  snprintf(name, sizeof name, ".tmp-%ld-%u", static_cast<long>(getpid()), serial++);
  return folder + name;
}

aErr ReplaceFile_Finish(const std::string& temporary, const std::string& path, bool written) {
  struct stat old;
  const bool keepMode = written && stat(path.c_str(), &old) == 0;
  if (written && (!keepMode || chmod(temporary.c_str(), old.st_mode & 07777) == 0) &&
      std::rename(temporary.c_str(), path.c_str()) == 0) {
    return aErrNone;
  }
  aFile_Delete(temporary.c_str());
  return aErrIO;
}
