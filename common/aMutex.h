// Named, non-recursive mutexes: the lock primitive of the procedural core. A thread must not
// lock a mutex it already holds. The name only identifies the mutex.
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

// aErrParam for a null mutex, aErrDuplicate when the system sees a deadlock.
aErr aMutex_Lock(aMutex* mutex);

// aErrBusy when another holder has it (or the caller itself).
aErr aMutex_TryLock(aMutex* mutex);

// aErrPermission when the system knows the caller does not hold it.
aErr aMutex_Unlock(aMutex* mutex);

// Frees the mutex and clears *mutex whatever the outcome. aErrParam for a null handle,
// aErrBusy when it was still locked, aErrResource when the system was out of resources.
aErr aMutex_Destroy(aMutex** mutex);
