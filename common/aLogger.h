// A logger: one thread that calls its owner's callback over and over while enabled, handing it
// an output file opened for appending and unbuffered, and an id (the link whose log it drains).
// The callback must wait by itself when it has nothing to do: the thread adds no pause.
//
// Control (enable, disable, destroy) belongs to one controlling thread at a time. The callback
// may call aLogger_Disable on its own logger, which then does nothing; it must not destroy it.
#pragma once

#include <cstdint>

#include "common/aError.h"

typedef struct aLogger aLogger;

// The callback: the logger's aFile handle (as an untyped pointer) and its id.
typedef void (*aLoggerProc)(void* file, uint32_t id);

// A new logger, not enabled, with its file opened at path for appending; null when memory runs
// out, proc is null or the file cannot be opened.
aLogger* aLogger_Create(uint32_t id, aLoggerProc proc, const char* path);

// Starts the thread; succeeds at once when it already runs. When the thread cannot be started
// the logger stays disabled.
aErr aLogger_Enable(aLogger* logger);

// Stops the thread and waits until the callback in progress has returned. Succeeds when not
// enabled, and does nothing (successfully) when called from the logger's own callback.
aErr aLogger_Disable(aLogger* logger);

// Disables the logger, closes its file, frees it and clears *logger. When disabling fails, its
// error is returned and the file closed, but the logger is not freed. Refused (aErrBusy), with
// nothing done, from the logger's own callback. An invalid logger is no error: nothing is done.
aErr aLogger_Destroy(aLogger** logger);
