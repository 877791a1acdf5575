#include "Log.h"

#include <cstdarg>

FILE* Log::fh = nullptr;
unsigned Log::package_bitmask = 0;

void Log::log(unsigned category, const char* format, ...) {
    if (!IsActive(category) || !fh) return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    fputs(buffer, fh);
}
