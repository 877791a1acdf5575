// Logger: runs a log procedure over and over on its own thread, handing it an
// output file, until disabled. The device API drains a link's packet log
// into a text file with it.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aFile.h"

inline constexpr uint16_t aVALIDLOGGER = 0xDEED;

// Pause after a call that reported nothing to do.
inline constexpr uint32_t aLOGGER_IDLE_MS = 5;

// Called with the logger's file and the creator's argument. Returns 0 after
// doing some work (called again at once), anything else when there was
// nothing to do (called again after aLOGGER_IDLE_MS).
typedef aErr (*aLoggerProc)(aFileRef file, int32_t argument);

typedef struct aLogger* aLoggerRef;

// New disabled logger with `path` opened for appending, unbuffered; null
// without memory, without a procedure, or when the file cannot be opened.
aLoggerRef aLogger_Create(int32_t argument, aLoggerProc proc, const char* path);

// Starts the thread. aErrParam for an invalid logger; 0 when already
// enabled; aErrResource when the thread cannot start.
aErr aLogger_Enable(aLoggerRef logger);

// Stops and joins the thread. aErrParam for an invalid logger; a disabled
// logger, or a call from the logger's own procedure, does nothing and gives
// 0; aErrUnknown when the join fails.
aErr aLogger_Disable(aLoggerRef logger);

// Disables the logger, closes its file, frees it and clears the pointer;
// returns the disable result (on failure the logger is kept). An invalid
// logger, or a call from the logger's own procedure, gives 0 and does
// nothing.
aErr aLogger_Destroy(aLoggerRef* logger);
