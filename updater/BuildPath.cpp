#include "BuildPath.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...) {
    std::string out;
    if (!first) return out;
    out = first;

    va_list args;
    va_start(args, first);
    while (const char* part = va_arg(args, const char*)) {
        out += '/';
        out += part;
    }
    va_end(args);
    return out;
}
