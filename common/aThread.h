// Joinable threads. A thread is never detached: it ends only through aThread_Destroy, and its
// procedure must return on its own (nothing here asks it to stop).
#pragma once

// The thread body; its result is never read.
typedef void* (*aThreadProc)(void* argument);

typedef struct aThread aThread;

// Starts procedure(argument) on a new thread; null when memory runs out, the procedure is null
// or the thread cannot be started.
aThread* aThread_Create(aThreadProc procedure, void* argument);

// Waits until the thread has ended, frees it and clears *thread. 0, or the system's non-zero
// join error number (EINVAL for a null handle).
int aThread_Destroy(aThread** thread);

// Gives up the processor briefly (sleeps 5 microseconds).
void aThread_Yield();
