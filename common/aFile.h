// Files: a thin layer over stdio streams. Every operation checks its handle first (null or closed
// handles give aErrParam) and reports failures as aErr codes; nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// Longest path, in characters, that the file operations accept.
#define aFILE_MAX_PATH 4096

typedef uint32_t aFileMode;

enum : aFileMode {
  aFileModeRead = 0,    // "rb": the file must exist
  aFileModeWrite = 1,   // "wb": created or truncated
  aFileModeAppend = 2,  // "ab+": created if missing, positioned at the end, readable and writable
};

// Origins of aFile_Seek; any other value counts from the start.
enum : int {
  aSeekStart = 0,
  aSeekCurrent = 1,
  aSeekEnd = 2,
};

typedef struct aFile aFile;

// True only when the path names an existing entry that is not a folder.
bool aFile_Exists(const char* path);

// The open file, or null for a null, empty or too long path, an unknown mode, a file that cannot
// be opened in the mode, or no memory. The caller owns the handle and ends it with aFile_Close.
aFile* aFile_Open(const char* path, aFileMode mode);

// Closes the file and clears *file whenever file is given. aErrParam for a null or invalid
// handle; aErrIO when the stream could not be flushed on closing (the handle is released anyway).
aErr aFile_Close(aFile** file);

// Reads up to length bytes. aErrEOF when nothing could be read although length was above 0 (end
// of file or read error alike); a read of 0 bytes is aErrNone. *count (optional) gets the number
// read. aErrMode on a file opened for writing only.
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);

// Writes length bytes. aErrIO when nothing was written although length was above 0; a short
// write is aErrNone and *count (optional) tells how much went. aErrMode on a read-only file.
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);

// Moves to offset from origin. The target must lie between 0 and the size inclusive, else
// aErrRange and the position is unchanged; aErrIO when the position or size cannot be read.
aErr aFile_Seek(aFile* file, int64_t offset, int origin);

// The file's size in bytes (0 when it cannot be found); the position is left where it was.
aErr aFile_GetSize(aFile* file, size_t* size);

// Reads one line including its newline into buffer (size bytes, always terminated when size is
// above 0); *length (optional) gets the characters stored. aErrParam for size 0, aErrEOF at the
// end of the file, aErrIO on a read error, aErrOverrun when the line filled the buffer without
// its newline: the rest of it follows on the next call.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);

// Makes every later write go straight to the system. aErrMode when the file is not writable.
aErr aFile_SetUnbuffered(aFile* file);

// The current position in bytes. aErrIO when it cannot be read.
aErr aFile_GetPosition(aFile* file, size_t* position);

// printf-style write. aErrIO when formatting or writing fails; aErrMode on a read-only file.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes a file (never a folder). aErrParam for a null path, aErrFileNameLength for a path
// longer than aFILE_MAX_PATH, aErrNotFound, aErrPermission, or aErrIO for any other failure.
aErr aFile_Delete(const char* path);
