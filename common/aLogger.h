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

// Starts the thread (0 at once when it already runs). aErrParam for an invalid logger;
// aErrResource when the thread cannot be started (the logger stays disabled).
aErr aLogger_Enable(aLogger* logger);

// Stops the thread and waits until the callback in progress has returned. 0, also when not
// enabled, and 0 doing nothing when called from the logger's own callback; aErrParam for an
// invalid logger; aErrUnknown when the thread cannot be joined.
aErr aLogger_Disable(aLogger* logger);

// Disables the logger, closes its file, frees it and clears *logger: 0. When disabling fails,
// its error is returned and the file closed, but the logger is not freed. aErrBusy, with nothing
// done, when called from the logger's own callback. 0 and nothing for an invalid logger.
aErr aLogger_Destroy(aLogger** logger);
