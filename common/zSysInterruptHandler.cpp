#include "zSysInterruptHandler.h"

#include <czmq.h>

#include <csignal>
#include <mutex>

namespace {

std::mutex _sigint_mutex;
bool _sigint_latch = false;  // only the first interrupt is forwarded

}  // namespace

void zSysInterruptHandler_process(void) {
    if (!zsys_interrupted) return;
    std::lock_guard<std::mutex> hold(_sigint_mutex);
    if (_sigint_latch) return;
    _sigint_latch = true;
    zsys_handler_reset();
    raise(SIGINT);
}
