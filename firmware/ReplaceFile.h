// Replacing a file's contents without ever leaving it half written: the new contents go into a
// temporary file beside it, which takes the file's name only once it was written and closed in
// full. On any failure the old file stays as it was and the temporary file is removed. The
// replacement keeps what a write in place would have kept: a file the process may not write is
// not replaced, and the new contents keep the old file's permission bits.
#pragma once

#include <string>

#include "common/aError.h"
#include "common/aFile.h"
#include "firmware/FileLock.h"

// Writes the contents through `write`, which returns false when a write fell short. aErrNotFound
// when nothing could be started (the file may not be written, or its folder is missing or
// read-only); aErrIO when the new contents could not be put in place.
template <typename Writer>
aErr ReplaceFile(const std::string& path, Writer&& write);

// False when the path names a file that the process may not write (a missing one may be made).
bool ReplaceFile_MayWrite(const std::string& path);

// The temporary file's name: in the same folder, starting with "." so that store listings pass
// it by, and not containing the file's own name so that a name search cannot mistake a leftover
// of a crash for the file.
std::string ReplaceFile_TemporaryPath(const std::string& path);

// A temporary file is locked by its writer from just after it is made until it took the file's
// name or was removed, so that the lock tells a live writer's file from one left by a run that
// ended (killed, or the machine went down). Locks the temporary; a lock not had when it cannot
// be opened.
FileLock ReplaceFile_ClaimTemporary(const std::string& temporary);

// Removes the temporary files that runs which ended left in the path's folder: regular files of
// the temporaries' names that no writer holds locked and that were last written longer ago than
// a run takes from making one to locking it.
void ReplaceFile_ClearStaleTemporaries(const std::string& path);

// Renames the finished temporary file over the path (with the old file's permission bits), or
// removes it when `written` is false.
aErr ReplaceFile_Finish(const std::string& temporary, const std::string& path, bool written);

// The one temporary file of the process that a stop signal must not leave behind: the signal
// handler removes it (RemoveUnfinishedFile, safe in a signal handler) before the process ends.
// One file at a time, from one thread; Forget once the file took its name or was removed.
void RememberUnfinishedFile(const std::string& path);
void ForgetUnfinishedFile();
void RemoveUnfinishedFile();

template <typename Writer>
aErr ReplaceFile(const std::string& path, Writer&& write) {
  if (!ReplaceFile_MayWrite(path)) return aErrNotFound;
  ReplaceFile_ClearStaleTemporaries(path);
  std::string temporary = ReplaceFile_TemporaryPath(path);
  RememberUnfinishedFile(temporary);
  aFile* file = aFile_Open(temporary.c_str(), aFileModeWrite);
  if (file == nullptr) {
    ForgetUnfinishedFile();
    return aErrNotFound;
  }
  const FileLock claim = ReplaceFile_ClaimTemporary(temporary);
  bool written = write(file);
  written = aFile_Close(&file) == aErrNone && written;
  const aErr result = ReplaceFile_Finish(temporary, path, written);
  ForgetUnfinishedFile();
  return result;
}
