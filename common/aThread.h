// Threads over POSIX threads.
#pragma once

typedef struct aThread* aThreadRef;

typedef void (*aThreadProc)(void* argument);

// Starts a thread running proc(argument); null when it cannot be started.
aThreadRef aThread_Create(aThreadProc proc, void* argument);

// Joins the thread, frees the handle and clears the caller's pointer; returns
// the join's system result (0 on success, an errno value otherwise, EINVAL
// for no thread).
int aThread_Destroy(aThreadRef* thread);

// True when called on the given thread.
bool aThread_IsCurrent(aThreadRef thread);

// Gives the processor away for a few microseconds.
void aThread_Yield(void);
