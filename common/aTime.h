// Clocks and sleeps.
#pragma once

#include <cstdint>

#include "aError.h"

// Wall-clock time in milliseconds since the epoch; 0 when the clock cannot be
// read. Jumps with the system clock, so it is for time stamps, not deadlines.
uint64_t aTime_GetMSTicks(void);

// Milliseconds on the monotonic clock; every deadline of the library uses it.
uint64_t aTime_GetMonotonicMSTicks(void);

// Microseconds on the monotonic clock.
uint64_t aTime_GetMonotonicUSTicks(void);

// Sleeps the given milliseconds (0 returns at once).
aErr aTime_MSSleep(uint32_t milliseconds);
