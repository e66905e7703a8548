// Result codes of the device library. Every operation that does not create something returns
// one; 0 is success. A module that reports an error in a reply carries one of these same codes.
#pragma once

#include <cstdint>

typedef uint32_t aErr;

enum : aErr {
  aErrNone = 0,
  aErrMemory = 1,
  aErrParam = 2,
  aErrNotFound = 3,
  aErrFileNameLength = 4,
  aErrBusy = 5,
  aErrIO = 6,
  aErrMode = 7,
  aErrWrite = 8,
  aErrRead = 9,
  aErrEOF = 10,
  aErrNotReady = 11,
  aErrPermission = 12,
  aErrRange = 13,
  aErrSize = 14,
  aErrOverrun = 15,
  aErrParse = 16,
  aErrConfiguration = 17,
  aErrTimeout = 18,
  aErrInitialization = 19,
  aErrVersion = 20,
  aErrUnimplemented = 21,
  aErrDuplicate = 22,
  aErrCancel = 23,
  aErrPacket = 24,
  aErrConnection = 25,
  aErrIndexRange = 26,
  aErrShortCommand = 27,
  aErrInvalidEntity = 28,
  aErrInvalidOption = 29,
  aErrResource = 30,
  aErrMedia = 31,
  aErrAsyncReturn = 32,
  aErrStreamStale = 33,
  aErrUnknown = 34,
};

// The code's name ("aErrTimeout"); codes above 34 give "aErrUnknown". Static text.
const char* aError_GetErrorText(aErr code);

// The code's description ("Timeout occurred"); codes above 34 give "Unknown error". Static text.
const char* aError_GetErrorDescription(aErr code);
