#include "common/aStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/aFile.h"
#include "common/aTime.h"

namespace {

constexpr uint16_t aSTREAMCHECK = 0x4321;

// Reads of up to this many bytes collect them on the stack; longer ones allocate.
constexpr size_t sLocalReadRoom = 256;

}  // namespace

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc deleteProc;
  void* ref;
  char* pushBack;
  unsigned pushBackCount;
  size_t pushBackCapacity;
  size_t pushBackReadIndex;
  size_t pushBackWriteIndex;
  aStreamWaitProc wait;
  bool waitBeforeRead;
  uint16_t check;
};

namespace {

bool aVALIDSTREAM(const aStream* stream) { return stream && stream->check == aSTREAMCHECK; }

// Makes room in the ring for extra more bytes, which never holds more than capacity - 1: grows
// it in steps of aSTREAMBUFCHUNK, the waiting bytes moved to the start in delivery order.
bool sReservePushBack(aStream* stream, size_t extra) {
  const size_t needed = stream->pushBackCount + extra + 1;
  if (stream->pushBack && needed <= stream->pushBackCapacity) return true;
  size_t capacity = stream->pushBackCapacity;
  while (capacity < needed) capacity += aSTREAMBUFCHUNK;
  char* storage = static_cast<char*>(std::malloc(capacity));
  if (!storage) return false;
  for (size_t i = 0; i < stream->pushBackCount; ++i) {
    storage[i] = stream->pushBack[(stream->pushBackReadIndex + i) % stream->pushBackCapacity];
  }
  std::free(stream->pushBack);
  stream->pushBack = storage;
  stream->pushBackCapacity = capacity;
  stream->pushBackReadIndex = 0;
  stream->pushBackWriteIndex = stream->pushBackCount;
  return true;
}

// Hands length bytes back to the stream; they are delivered after those already waiting.
aErr sPushBack(aStream* stream, const char* bytes, size_t length) {
  if (length == 0) return aErrNone;
  if (!sReservePushBack(stream, length)) return aErrResource;
  for (size_t i = 0; i < length; ++i) {
    stream->pushBack[stream->pushBackWriteIndex] = bytes[i];
    stream->pushBackWriteIndex = (stream->pushBackWriteIndex + 1) % stream->pushBackCapacity;
  }
  stream->pushBackCount += static_cast<unsigned>(length);
  return aErrNone;
}

bool sTakePushedBack(aStream* stream, char* byte) {
  if (stream->pushBackCount == 0) return false;
  *byte = stream->pushBack[stream->pushBackReadIndex];
  stream->pushBackReadIndex = (stream->pushBackReadIndex + 1) % stream->pushBackCapacity;
  --stream->pushBackCount;
  return true;
}

// The next byte: pushed back first, then from the transport.
aErr sNextByte(aStream* stream, char* byte) {
  if (sTakePushedBack(stream, byte)) return aErrNone;
  return stream->get(byte, stream->ref);
}

// Working memory of a read: on the stack when small, else on the heap.
class sScratch {
 public:
  explicit sScratch(size_t size)
      : heap_(size > sLocalReadRoom ? new (std::nothrow) char[size] : nullptr),
        bytes_(size > sLocalReadRoom ? heap_.get() : local_) {}
  char* bytes() const { return bytes_; }

 private:
  std::unique_ptr<char[]> heap_;
  char local_[sLocalReadRoom];
  char* bytes_;
};

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc deleteProc,
                        void* ref) {
  auto* stream = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
  if (!stream) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->deleteProc = deleteProc;
  stream->ref = ref;
  stream->check = aSTREAMCHECK;
  return stream;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_SetWaitBeforeRead(aStream* stream, bool on) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->waitBeforeRead = on;
  return aErrNone;
}

bool aStream_WaitsBeforeRead(const aStream* stream) {
  return aVALIDSTREAM(stream) && stream->wait && stream->waitBeforeRead;
}

aErr aStream_WaitReadable(aStream* stream, uint32_t timeoutMs) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->pushBackCount > 0) return aErrNone;
  if (stream->wait) return stream->wait(timeoutMs, stream->ref);
  aTime_MSSleep(std::min(timeoutMs, aSTREAM_POLL_PAUSE_MS));
  return aErrNone;
}

aErr aStream_Read(aStream* stream, char* buffer, size_t length) {
  if (!aVALIDSTREAM(stream) || !buffer) return aErrParam;
  if (!stream->get) return aErrMode;
  if (length == 0) return aErrNone;
  // One byte, the reader's every read: nothing to collect, nothing to hand back.
  if (length == 1) return sNextByte(stream, buffer);
  sScratch scratch(length);
  char* bytes = scratch.bytes();
  if (!bytes) return aErrResource;
  for (size_t count = 0; count < length; ++count) {
    const aErr err = sNextByte(stream, &bytes[count]);
    if (err == aErrNone) continue;
    if (err == aErrNotReady) {
      const aErr pushed = sPushBack(stream, bytes, count);
      return pushed == aErrNone ? aErrNotReady : pushed;
    }
    if (err == aErrEOF) std::memcpy(buffer, bytes, count);
    return err;
  }
  std::memcpy(buffer, bytes, length);
  return aErrNone;
}

aErr aStream_Write(aStream* stream, const char* data, size_t length) {
  if (!aVALIDSTREAM(stream) || !data) return aErrParam;
  if (!stream->write && !stream->put) return aErrMode;
  if (length == 0) return aErrNone;
  if (stream->write && (length > 1 || !stream->put)) return stream->write(data, length, stream->ref);
  for (size_t i = 0; i < length; ++i) {
    const aErr err = stream->put(&data[i], stream->ref);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_Destroy(aStream** handle) {
  if (!handle) return aErrParam;
  aStream* stream = *handle;
  *handle = nullptr;
  if (!aVALIDSTREAM(stream)) return aErrParam;
  const aErr err = stream->deleteProc ? stream->deleteProc(stream->ref) : aErrNone;
  std::free(stream->pushBack);
  stream->check = 0;
  std::free(stream);
  return err;
}

aErr aStream_ReadRecord(aStream* stream, char* buffer, size_t* length, size_t size, const char* separator,
                        size_t separatorLength) {
  if (!aVALIDSTREAM(stream) || !buffer || !separator || separatorLength == 0 || size == 0) {
    return aErrParam;
  }
  if (!stream->get) return aErrMode;
  sScratch scratch(size);
  char* stored = scratch.bytes();
  if (!stored) return aErrResource;
  size_t count = 0;
  size_t matched = 0;
  while (matched < separatorLength && count < size) {
    char byte = 0;
    const aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrEOF && count > 0) break;  // the end completes a started record
    if (err == aErrEOF && length) *length = 0;
    if (err == aErrNotReady) {
      // What was taken goes back whole: the stored bytes, then the separator's matched start.
      aErr pushed = sPushBack(stream, stored, count);
      if (pushed == aErrNone) pushed = sPushBack(stream, separator, matched);
      return pushed == aErrNone ? aErrNotReady : pushed;
    }
    if (err != aErrNone) return err;
    if (byte == separator[matched]) {
      ++matched;
    } else {
      stored[count++] = byte;
    }
  }
  std::memcpy(buffer, stored, count);
  if (length) *length = count;
  return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const char* data, size_t length, const char* separator,
                         size_t separatorLength) {
  if (!aVALIDSTREAM(stream) || !data || !separator || separatorLength == 0) return aErrParam;
  const aErr err = aStream_Write(stream, data, length);
  if (err != aErrNone) return err;
  return aStream_Write(stream, separator, separatorLength);
}

namespace {

// A record read into a text buffer, terminated on success.
aErr sReadText(aStream* stream, char* buffer, size_t size, const char* separator, size_t separatorLength) {
  if (!buffer || size < 2) return aErrParam;
  size_t length = 0;
  const aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, separator, separatorLength);
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

}  // namespace

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  const char terminator = '\0';
  return sReadText(stream, buffer, size, &terminator, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (!text) return aErrParam;
  return aStream_WriteRecord(stream, text, std::strlen(text), "", 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* separatorText) {
  if (!separatorText) return aErrParam;
  return sReadText(stream, buffer, size, separatorText, std::strlen(separatorText));
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separatorText) {
  if (!text || !separatorText) return aErrParam;
  return aStream_WriteRecord(stream, text, std::strlen(text), separatorText, std::strlen(separatorText) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
  if (!source->get || !destination->put) return aErrMode;
  for (;;) {
    char byte = 0;
    aErr err = source->get(&byte, source->ref);
    if (err == aErrEOF) return aErrNone;
    if (err == aErrNone) err = destination->put(&byte, destination->ref);
    if (err != aErrNone) return err;
  }
}

namespace {

aErr sFileStreamGet(char* byte, void* ref) {
  if (!ref) return aErrIO;
  return aFile_Read(static_cast<aFile*>(ref), byte, 1, nullptr);
}

aErr sFileStreamWrite(const char* data, size_t length, void* ref) {
  if (!ref) return aErrIO;
  size_t written = 0;
  const aErr err = aFile_Write(static_cast<aFile*>(ref), data, length, &written);
  // A short write loses the rest of the buffer: that is a failure, not a success.
  if (err == aErrNone && written != length) return aErrWrite;
  return err;
}

aErr sFileStreamPut(const char* byte, void* ref) { return sFileStreamWrite(byte, 1, ref); }

aErr sFileStreamDelete(void* ref) {
  if (!ref) return aErrIO;
  auto* file = static_cast<aFile*>(ref);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aFileMode mode, aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                       aStream** stream) {
  if (!path || !stream) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (!file) return aErrResource;
  aStream* made = aStream_Create(get, put, write, sFileStreamDelete, file);
  if (!made) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreateFileStream(path, aFileModeRead, sFileStreamGet, nullptr, nullptr, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreateFileStream(path, aFileModeWrite, nullptr, sFileStreamPut, sFileStreamWrite, stream);
}
