// Files: a thin layer over stdio streams. Every operation checks its handle first and reports
// failures as aErr codes; nothing is printed. A handle belongs to one thread at a time.
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

// Closes the file and clears *file whenever file is given. The handle is released even when the
// final flush fails; that failure is still reported.
aErr aFile_Close(aFile** file);

// Reads up to length bytes; *count (optional) gets the number read. Reading nothing although
// length was above 0 is aErrEOF (end of file or read error alike); a read of 0 bytes succeeds.
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);

// Writes length bytes. A short write succeeds: *count (optional) tells how much went.
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);

// Moves to offset from origin. The target must lie between 0 and the size inclusive; a refused
// move leaves the position unchanged.
aErr aFile_Seek(aFile* file, int64_t offset, int origin);

// The file's size in bytes (0 when it cannot be found); the position is left where it was.
aErr aFile_GetSize(aFile* file, size_t* size);

// Reads one line including its newline into buffer (size bytes, always terminated when size is
// above 0); *length (optional) gets the characters stored. aErrOverrun when the line filled the
// buffer without its newline: the rest of it follows on the next call.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);

// Makes every later write go straight to the system; only for a writable file.
aErr aFile_SetUnbuffered(aFile* file);

// The current position in bytes.
aErr aFile_GetPosition(aFile* file, size_t* position);

// printf-style write; only for a writable file.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes a file (never a folder); aErrNotFound when there is none.
aErr aFile_Delete(const char* path);
