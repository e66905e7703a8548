#include "common/aDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Further parts aDirectory_BuildPath takes after the first one.
#define aDIR_MAX_FURTHER_PARTS 9

namespace {

bool sUsableBuffer(const char* buffer, size_t size) { return buffer != nullptr && size > 0; }

// Copies text into buffer when it fits with its terminator; otherwise the buffer is left empty.
aErr sCopyWhole(char* buffer, size_t size, const char* text) {
  const size_t length = strlen(text);
  if (length >= size) {
    buffer[0] = '\0';
    return aErrOverrun;
  }
  memcpy(buffer, text, length + 1);
  return aErrNone;
}

bool sInside(const char* part, const char* buffer, size_t size) { return part >= buffer && part < buffer + size; }

// Makes one folder; a folder or anything else already standing there is not a failure here.
bool sMakeFolder(const char* path, uint16_t permissions) {
  return aDirectory_Exists(path) || mkdir(path, permissions) == 0 || errno == EEXIST;
}

// The home folder the user database gives for the caller's user, or "" when it gives none.
std::string sUserDatabaseHome() {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == ERANGE) {
    scratch.resize(scratch.size() * 2);
  }
  return (found != nullptr && found->pw_dir != nullptr) ? found->pw_dir : "";
}

// Removes one entry of a folder being deleted; a link is removed as a link, never followed.
bool sRemoveEntry(const char* path) {
  struct stat status;
  if (lstat(path, &status) != 0) return true;  // vanished or unreadable: nothing to remove
  if (S_ISDIR(status.st_mode)) {
    aDirectory_DeleteTree(path);  // a failure below shows when this folder is removed
    return true;
  }
  if (unlink(path) == 0) return true;
  perror("aDirectory_DeleteTree");
  printf("---error unlink-ing file [%s]\n", path);
  return false;
}

// Opens a folder for deletion, refusing a path whose last component is a symbolic link.
DIR* sOpenOwnFolder(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) close(fd);
  return folder;
}

bool sIsDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

}  // namespace

bool aDirectory_Exists(const char* path) {
  struct stat status;
  return path != nullptr && stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t permissions) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;
  // Every folder above the path, shortest first; empty components (a leading or doubled
  // separator) name no folder of their own.
  std::string above(path);
  aErr result = aErrNone;
  for (size_t i = 1; i < above.size(); ++i) {
    if (above[i] != '/' || above[i - 1] == '/') continue;
    above[i] = '\0';
    const bool made = sMakeFolder(above.c_str(), permissions);
    above[i] = '/';
    if (!made) {
      result = aErrPermission;
      break;
    }
  }
  if (!sMakeFolder(path, permissions)) return aErrPermission;
  // mkdir says "exists" for a file too: only a folder standing there now is success.
  return aDirectory_Exists(path) ? result : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
  if (path == nullptr || proc == nullptr) return aErrParam;
  DIR* folder = opendir(path);
  if (folder == nullptr) return aErrNotFound;
  char entryPath[aDIR_PATH_BUFFER];
  for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
    struct stat status;
    if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone) continue;
    if (stat(entryPath, &status) != 0) continue;
    const aDirectoryListData data = {entryPath, static_cast<uint32_t>(status.st_size),
                                     S_ISDIR(status.st_mode) ? 1u : 0u};
    if (!proc(&data, ref)) break;
  }
  closedir(folder);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  DIR* folder = sOpenOwnFolder(path);
  if (folder == nullptr) return aErrNotFound;
  char entryPath[aDIR_PATH_BUFFER];
  for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
    if (sIsDotEntry(entry->d_name)) continue;
    // A path cut short would name this folder or another one: stop instead.
    if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone) break;
    if (!sRemoveEntry(entryPath)) break;
  }
  closedir(folder);
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (!sUsableBuffer(buffer, size)) return aErrParam;
  if (getcwd(buffer, size) != nullptr) return aErrNone;
  buffer[0] = '\0';
  return aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!sUsableBuffer(buffer, size)) return aErrParam;
  const ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[length] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!sUsableBuffer(buffer, size)) return aErrParam;
  std::string home = sUserDatabaseHome();
  if (home.empty()) {
    const char* variable = getenv("HOME");
    if (variable != nullptr) home = variable;
  }
  if (home.empty()) {
    buffer[0] = '\0';
    return aErrNotFound;
  }
  return sCopyWhole(buffer, size, home.c_str());
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(destination, size, first, second, nullptr);
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
  if (!sUsableBuffer(destination, size) || first == nullptr || sInside(first, destination, size)) {
    return aErrParam;
  }
  const char* parts[aDIR_MAX_FURTHER_PARTS];
  size_t count = 0;
  va_list args;
  va_start(args, first);
  bool refused = false;
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    if (count == aDIR_MAX_FURTHER_PARTS || sInside(part, destination, size)) {
      refused = true;
      break;
    }
    parts[count++] = part;
  }
  va_end(args);
  destination[0] = '\0';
  if (refused) return aErrParam;

  size_t length = strlen(first);
  if (length >= size - 1) return aErrOverrun;
  memcpy(destination, first, length + 1);
  for (size_t i = 0; i < count; ++i) {
    size_t room = size - length - 1;
    const bool needsSeparator = length > 0 && destination[length - 1] != '/' && parts[i][0] != '/';
    if (room > 1 && needsSeparator) {
      destination[length++] = '/';
      destination[length] = '\0';
      --room;
    }
    const size_t partLength = strlen(parts[i]);
    if (partLength >= room) return aErrOverrun;
    memcpy(destination + length, parts[i], partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

const char* backwards_memcmp(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  if (pattern[0] == '\0') return text;
  const size_t textLength = strlen(text);
  const size_t patternLength = strlen(pattern);
  if (patternLength > textLength) return nullptr;
  for (size_t start = textLength - patternLength + 1; start-- > 0;) {
    if (memcmp(text + start, pattern, patternLength) == 0) return text + start;
  }
  return nullptr;
}
