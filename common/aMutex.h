// Named, non-recursive mutexes: the lock primitive of the procedural core. A thread must not
// lock a mutex it already holds. The name only identifies the mutex. The creator owns the mutex
// and ends it with aMutex_Destroy once no thread uses it.
#pragma once

#include "common/aError.h"

// Longest mutex name in characters.
#define aMUTEX_MAX_NAME 255

typedef struct aMutex aMutex;

// A new unlocked mutex, or null when the name is longer than aMUTEX_MAX_NAME, memory runs out or
// the mutex cannot be initialised. A null name gives an empty name.
aMutex* aMutex_Create(const char* name);

// The mutex's name, owned by the mutex ("" for a null mutex).
const char* aMutex_Identifier(const aMutex* mutex);

// Waits for the mutex. A relock by its holder fails (aErrDuplicate) where the system notices it.
aErr aMutex_Lock(aMutex* mutex);

// Takes the mutex only when it is free, never waiting: aErrBusy when anyone holds it, the caller
// included.
aErr aMutex_TryLock(aMutex* mutex);

// Releases a mutex the caller holds.
aErr aMutex_Unlock(aMutex* mutex);

// Frees the mutex and clears *mutex whatever the outcome; a mutex still locked is reported,
// though freed all the same.
aErr aMutex_Destroy(aMutex** mutex);
