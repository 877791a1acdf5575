#include "aLogger.h"

#include <atomic>
#include <new>

#include "aThread.h"
#include "aTime.h"

struct aLogger {
    int32_t argument;
    aLoggerProc proc;
    aFileRef file;
    aThreadRef thread;
    std::atomic<bool> enabled;
    uint16_t marker;
};

namespace {

// The logger whose procedure runs on this thread, if any.
thread_local const aLogger* tCurrentLogger = nullptr;

bool sValid(const aLogger* logger) {
    return logger && logger->marker == aVALIDLOGGER;
}

void sLoggerThread(void* raw) {
    aLogger* logger = static_cast<aLogger*>(raw);
    tCurrentLogger = logger;
    while (logger->enabled) {
        if (logger->proc(logger->file, logger->argument) != aErrNone) {
            aTime_MSSleep(aLOGGER_IDLE_MS);
        }
    }
}

}  // namespace

aLoggerRef aLogger_Create(int32_t argument, aLoggerProc proc, const char* path) {
    if (!proc || !path) return nullptr;
    aLogger* logger = new (std::nothrow) aLogger{};
    if (!logger) return nullptr;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file || aFile_SetUnbuffered(logger->file) != aErrNone) {
        aFile_Close(&logger->file);
        delete logger;
        return nullptr;
    }
    logger->argument = argument;
    logger->proc = proc;
    logger->marker = aVALIDLOGGER;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!sValid(logger)) return aErrParam;
    if (logger->enabled) return aErrNone;
    logger->enabled = true;
    logger->thread = aThread_Create(sLoggerThread, logger);
    if (!logger->thread) {
        logger->enabled = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!sValid(logger)) return aErrParam;
    if (!logger->enabled || tCurrentLogger == logger) return aErrNone;
    logger->enabled = false;
    return aThread_Destroy(&logger->thread) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
    if (!logger || !sValid(*logger) || tCurrentLogger == *logger) return aErrNone;
    const aErr err = aLogger_Disable(*logger);
    if (err != aErrNone) return err;
    aFile_Close(&(*logger)->file);
    (*logger)->marker = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}
