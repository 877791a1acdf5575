// Named mutexes over POSIX threads.
#pragma once

#include "aError.h"

typedef struct aMutex* aMutexRef;

// Longest name a mutex keeps; a longer one is refused.
inline constexpr unsigned aMUTEX_MAX_NAME = 255;

// New unlocked mutex carrying the name (null is taken as ""); null for a name
// longer than aMUTEX_MAX_NAME or when the system refuses.
aMutexRef aMutex_Create(const char* name);

// Each returns aErrParam for no mutex; system refusals map to aErrParam
// (invalid), aErrBusy (held: try-lock, destroy), aErrDuplicate (would
// deadlock), aErrPermission (unlock by a thread that does not hold it),
// aErrResource (destroy: no resources), aErrUnknown (anything else).
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);

// Destroys and frees the mutex and clears the caller's pointer in every case.
aErr aMutex_Destroy(aMutexRef* mutex);

// The name given at creation; "" for no mutex.
const char* aMutex_Identifier(aMutexRef mutex);
