#include <sys/time.h>
#include <time.h>

#include <cerrno>

#include "aTime.h"

namespace {

constexpr uint32_t kMaxSliceMs = 999;  // nanosleep wants less than a second per slice

uint64_t sMonotonicUS() {
    struct timespec now {};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

uint64_t aTime_GetMSTicks(void) {
    struct timeval now {};
    if (gettimeofday(&now, nullptr) != 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

uint64_t aTime_GetMonotonicMSTicks(void) {
    return sMonotonicUS() / 1000u;
}

uint64_t aTime_GetMonotonicUSTicks(void) {
    return sMonotonicUS();
}

aErr aTime_MSSleep(uint32_t milliseconds) {
    while (milliseconds > 0) {
        const uint32_t slice = milliseconds > kMaxSliceMs ? kMaxSliceMs : milliseconds;
        struct timespec request {
            0, static_cast<long>(slice) * 1000000L
        };
        struct timespec remaining {};
        // A signal cuts a slice short; sleep the rest of it.
        while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
        milliseconds -= slice;
    }
    return aErrNone;
}
