// CZMQ catches SIGINT once it is initialised and only records it. Threads
// that wait through CZMQ call zSysInterruptHandler_process after each wait,
// so the application's own interrupt handling (by default: ending the
// process) still runs.
#pragma once

// When CZMQ has recorded an interrupt: puts back the handlers CZMQ saved
// when it took over the signals and raises SIGINT, once per process.
void zSysInterruptHandler_process(void);
