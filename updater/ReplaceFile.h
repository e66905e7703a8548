// Replacing a file's contents without ever leaving it half written: the new contents go into a
// temporary file beside it, which takes the file's name only once it was written and closed in
// full. On any failure the old file stays as it was and the temporary file is removed.
#pragma once

#include <string>

#include "common/aError.h"
#include "platform/aFile.h"

// Writes the contents through `write`, which returns false when a write fell short.
// aErrNotFound when the temporary file cannot be created (a missing or read-only folder),
// aErrIO when writing, closing or renaming fails.
template <typename Writer>
aErr ReplaceFile(const std::string& path, Writer&& write);

// The temporary file's name: in the same folder, starting with "." so that store listings pass
// it by, and not containing the file's own name so that a name search cannot mistake a leftover
// of a crash for the file.
std::string ReplaceFile_TemporaryPath(const std::string& path);

// Renames the finished temporary file over the path, or removes it when `written` is false.
aErr ReplaceFile_Finish(const std::string& temporary, const std::string& path, bool written);

template <typename Writer>
aErr ReplaceFile(const std::string& path, Writer&& write) {
  std::string temporary = ReplaceFile_TemporaryPath(path);
  aFile* file = aFile_Open(temporary.c_str(), aFileModeWrite);
  if (file == nullptr) return aErrNotFound;
  bool written = write(file);
  written = aFile_Close(&file) == aErrNone && written;
  return ReplaceFile_Finish(temporary, path, written);
}
