#include "common/aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define aFILE_CHECK 0xFEED

struct aFile {
  FILE* stream;
  aFileMode mode;
  uint16_t check;
};

namespace {

bool sValid(const aFile* file) { return file != nullptr && file->check == aFILE_CHECK; }

bool sReadable(const aFile* file) { return file->mode == aFileModeRead || file->mode == aFileModeAppend; }

bool sWritable(const aFile* file) { return file->mode == aFileModeWrite || file->mode == aFileModeAppend; }

bool sPathFits(const char* path) { return strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH; }

const char* sStdioMode(aFileMode mode) {
  switch (mode) {
    case aFileModeRead:
      return "rb";
    case aFileModeWrite:
      return "wb";
    case aFileModeAppend:
      return "ab+";
    default:
      return nullptr;
  }
}

// The size by seeking to the end and back; 0 when the end cannot be found.
aErr sMeasure(FILE* stream, off_t* size) {
  *size = 0;
  const off_t here = ftello(stream);
  if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return aErrIO;
  const off_t end = ftello(stream);
  if (fseeko(stream, here, SEEK_SET) != 0 || end < 0) return aErrIO;
  *size = end;
  return aErrNone;
}

}  // namespace

bool aFile_Exists(const char* path) {
  struct stat status;
  if (path == nullptr || !sPathFits(path) || stat(path, &status) != 0) return false;
  return !S_ISDIR(status.st_mode);
}

aFile* aFile_Open(const char* path, aFileMode mode) {
  const char* stdioMode = sStdioMode(mode);
  if (path == nullptr || path[0] == '\0' || !sPathFits(path) || stdioMode == nullptr) return nullptr;
  auto* file = static_cast<aFile*>(calloc(1, sizeof(aFile)));
  if (file == nullptr) return nullptr;
  file->stream = fopen(path, stdioMode);
  if (file->stream == nullptr) {
    free(file);
    return nullptr;
  }
  file->mode = mode;
  file->check = aFILE_CHECK;
  // "ab+" reads from the start until told otherwise; the handle starts at the end.
  if (mode == aFileModeAppend) fseeko(file->stream, 0, SEEK_END);
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr) return aErrParam;
  aFile* record = *file;
  *file = nullptr;
  if (!sValid(record)) return aErrParam;
  const int closed = fclose(record->stream);
  record->check = 0;
  free(record);
  return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!sValid(file) || buffer == nullptr) return aErrParam;
  if (!sReadable(file)) return aErrMode;
  const size_t got = fread(buffer, 1, length, file->stream);
  if (count != nullptr) *count = got;
  return (got == 0 && length > 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!sValid(file) || data == nullptr) return aErrParam;
  if (!sWritable(file)) return aErrMode;
  const size_t put = fwrite(data, 1, length, file->stream);
  if (count != nullptr) *count = put;
  return (put == 0 && length > 0) ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin) {
  if (!sValid(file)) return aErrParam;
  const off_t here = ftello(file->stream);
  off_t size = 0;
  if (here < 0 || sMeasure(file->stream, &size) != aErrNone) return aErrIO;
  const int64_t base = origin == aSeekCurrent ? here : origin == aSeekEnd ? size : 0;
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size) return aErrRange;
  if (fseeko(file->stream, target, SEEK_SET) != 0 || ftello(file->stream) < 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!sValid(file) || size == nullptr) return aErrParam;
  off_t measured = 0;
  const aErr err = sMeasure(file->stream, &measured);
  *size = static_cast<size_t>(measured);
  return err;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  if (length != nullptr) *length = 0;
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (!sValid(file) || buffer == nullptr || size == 0) return aErrParam;
  if (!sReadable(file)) return aErrMode;
  FILE* stream = file->stream;
  size_t stored = 0;
  int c = 0;
  flockfile(stream);
  while (stored + 1 < size && (c = getc_unlocked(stream)) != EOF) {
    buffer[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  // With no room at all the next character decides between overrun and the end of the file.
  if (stored + 1 == size && stored == 0 && (c = getc_unlocked(stream)) != EOF) ungetc(c, stream);
  const bool failed = ferror(stream) != 0;
  funlockfile(stream);
  buffer[stored] = '\0';
  if (length != nullptr) *length = stored;
  if (failed) return aErrIO;
  if (c == EOF && stored == 0) return aErrEOF;
  if (stored + 1 == size && (stored == 0 || buffer[stored - 1] != '\n')) return aErrOverrun;
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!sValid(file)) return aErrParam;
  if (!sWritable(file) || setvbuf(file->stream, nullptr, _IONBF, 0) != 0) return aErrMode;
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, size_t* position) {
  if (!sValid(file) || position == nullptr) return aErrParam;
  const off_t here = ftello(file->stream);
  if (here < 0) return aErrIO;
  *position = static_cast<size_t>(here);
  return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!sValid(file) || format == nullptr) return aErrParam;
  if (!sWritable(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  const int written = vfprintf(file->stream, format, args);
  va_end(args);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (!sPathFits(path)) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
    case EPERM:
      return aErrPermission;
    default:
      return aErrIO;
  }
}
