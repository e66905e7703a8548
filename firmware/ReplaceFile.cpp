#include "firmware/ReplaceFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "firmware/Log.h"

namespace {

constexpr char kTemporaryPrefix[] = ".tmp-";
// Far longer than a writer takes from making its temporary file to locking it, and than the
// clocks of machines that share a folder drift apart.
constexpr time_t kStaleAfterSeconds = 10 * 60;

// The folder part of the path with its trailing "/", empty for a bare name.
std::string _folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool _is_regular_file(const std::string& path) {
  struct stat named;
  return ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode);
}

bool _names_file(const std::string& path, const struct stat& file) {
  struct stat named;
  return ::lstat(path.c_str(), &named) == 0 && named.st_dev == file.st_dev && named.st_ino == file.st_ino;
}

// Removes the temporary when no writer holds it and it is old: its writer ended before it was
// done. Only a regular file is opened (never a device or a link's target).
void _remove_if_stale(const std::string& temporary, time_t now) {
  if (!_is_regular_file(temporary)) return;
  const FileLock lock(::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC),
                      FileLock::Wait::not_at_all);
  if (!lock.held()) return;  // a live writer's, or gone meanwhile
  struct stat opened;
  if (::fstat(lock.descriptor(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
  if (now - opened.st_mtime < kStaleAfterSeconds) return;  // perhaps made a moment ago, not yet locked
  // Still the file of that name, not one that took a file's name meanwhile.
  if (!_names_file(temporary, opened)) return;
  Log::log(Log::DEBUG_Attributes, "Removing unfinished temporary file [%s]\n", temporary.c_str());
  ::unlink(temporary.c_str());
}

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
  char name[64];
  snprintf(name, sizeof name, "%s%ld-%u", kTemporaryPrefix, static_cast<long>(getpid()), serial++);
  return _folder_of(path) + name;
}

FileLock ReplaceFile_ClaimTemporary(const std::string& temporary) {
  return FileLock(::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC), FileLock::Wait::untilFree);
}

void ReplaceFile_ClearStaleTemporaries(const std::string& path) {
  const std::string folder = _folder_of(path);
  DIR* listing = ::opendir(folder.empty() ? "." : folder.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> temporaries;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::strncmp(entry->d_name, kTemporaryPrefix, sizeof kTemporaryPrefix - 1) == 0)
      temporaries.push_back(folder + entry->d_name);
  }
  ::closedir(listing);
  const time_t now = std::time(nullptr);
  for (const std::string& temporary : temporaries) _remove_if_stale(temporary, now);
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
