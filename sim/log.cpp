#include "log.h"

#include <cstdarg>
#include <cstdio>

namespace zvsim {

void logLine(const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    std::fprintf(stderr, "zvsim: %s\n", buf);
}

std::string serialText(uint32_t serial) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", serial);
    return buf;
}

std::string frameText(const Frame& frame) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X %02X", frame.address, frame.length);
    std::string text = buf;
    zv::ByteReader r = frame.reader();
    while (!r.atEnd()) {
        std::snprintf(buf, sizeof buf, " %02X", r.u8());
        text += buf;
    }
    return text;
}

}  // namespace zvsim
