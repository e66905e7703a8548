// Folders and paths, implemented by platform/. Operations that write into a caller's buffer refuse a
// null buffer or size 0 and always leave a terminated text in it. Nothing here keeps state: any
// thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// The path separator of every path operation.
#define aDIR_PATH_SEP "/"

// Size of the path buffer that listing and tree deletion build entry paths in.
#define aDIR_PATH_BUFFER 2048

// One folder entry as a listing callback sees it; valid only during the call.
typedef struct aDirectoryListData {
  const char* path;      // the listed folder and the entry name, joined as by aDirectory_JoinPath
  uint32_t size;         // low 32 bits of the entry's size in bytes
  uint32_t isDirectory;  // 1 for a folder, else 0
} aDirectoryListData;

// Called once per entry; the listing goes on only while it returns true.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* ref);

// True when the path names an existing folder.
bool aDirectory_Exists(const char* path);

// Creates the folder and every missing folder above it with the given permission bits.
// Succeeds when it exists as a folder afterwards, also when it existed before; fails when a
// folder could not be made or something that is not a folder stands in the way.
aErr aDirectory_Ensure(const char* path, uint16_t permissions);

// Calls proc for every entry ("." and ".." included) in the system's order, on the caller's
// thread; entries whose status cannot be read or whose path does not fit aDIR_PATH_BUFFER are
// skipped. Stopping early is no failure; aErrNotFound when the folder cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

// Removes an empty folder.
aErr aDirectory_Delete(const char* path);

// Removes a folder with everything below it. Symbolic links are removed, never followed, and a
// path that is itself a link is refused. Fails when anything below could not be removed. An
// entry that cannot be unlinked, or
// whose path does not fit aDIR_PATH_BUFFER, ends the removal in its folder (the unlink failure
// is printed: the system's text on standard error, the path on standard output); a subfolder
// that could not be emptied does not, and leaves its parent standing.
aErr aDirectory_DeleteTree(const char* path);

// The current working folder.
aErr aDirectory_CWD(char* buffer, size_t size);

// The running program's file, cut to size - 1 characters.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// The current user's home folder from the user database, or else from the environment variable
// "HOME". The buffer is left empty when neither gives one or it does not fit.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// aDirectory_BuildPath with exactly the two parts.
aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second);

// Joins first and the further parts (a null-terminated list, at most 9) with aDIR_PATH_SEP
// where neither side brings one; nothing goes in front of a part that follows an empty text.
// Bad arguments (a part inside the destination, too many parts) leave the destination empty;
// aErrOverrun when the result would exceed size - 2 characters, the destination keeping what was
// joined so far.
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...);

// The last occurrence of pattern in text; text itself for an empty pattern; null when pattern
// does not occur, is longer than text, or either is null.
const char* backwards_memcmp(const char* text, const char* pattern);
