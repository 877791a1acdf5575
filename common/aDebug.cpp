#include "aDebug.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

std::atomic<bool> aZentroviaDebuggingEnable{false};
std::atomic<uint32_t> aZentroviaDebuggingLevel{0};

namespace {

std::mutex& sOutputLock() {
    static std::mutex* lock = new std::mutex;  // outlives every thread at exit
    return *lock;
}

}  // namespace

void aDebug_Printf(uint32_t category, const char* format, ...) {
    if (!aDebug_IsOn(category) || !format) return;
    std::lock_guard<std::mutex> hold(sOutputLock());
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}
