// zvsim: simulated instrument modules for the updater and its device library.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

#include "config.h"
#include "event_loop.h"
#include "log.h"
#include "simulator.h"

using namespace zvsim;

int main(int argc, char** argv) {
    SimConfig config;
    std::string error;
    if (!parseCommandLine(argc, argv, config, error)) {
        std::fprintf(stderr, "zvsim: %s\n", error.c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (!validateConfig(config, error)) {
        std::fprintf(stderr, "zvsim: %s\n", error.c_str());
        return 2;
    }

    // Signals arrive as readable events on the loop, not as interruptions.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "zvsim: cannot watch signals\n");
        return 1;
    }

    EventLoop loop;
    int status = 0;
    {
        Simulator sim(config, loop);
        loop.watch(signalFd, POLLIN, [&](short) {
            signalfd_siginfo info{};
            while (read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1) {
                    std::string e;
                    if (!sim.writeReport(e)) logLine("%s", e.c_str());
                } else {
                    loop.stop();
                }
            }
        });
        if (!sim.start(error)) {
            std::fprintf(stderr, "zvsim: %s\n", error.c_str());
            status = 1;
        } else {
            loop.run();
            sim.shutdown();
            if (!sim.writeReport(error)) {
                logLine("%s", error.c_str());
                status = 1;
            }
        }
    }
    close(signalFd);
    return status;
}
