// A single-threaded poll loop with file descriptor watches and one-shot
// timers. Handlers may add or remove watches and timers while they run.
// The loop sleeps in poll until a descriptor is ready or the next timer is
// due, never longer than a second.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>

namespace zvsim {

class EventLoop {
  public:
    using FdHandler = std::function<void(short revents)>;
    using TimerHandler = std::function<void()>;

    void watch(int fd, short events, FdHandler handler);
    void setEvents(int fd, short events);
    void unwatch(int fd);

    // Runs the handler once, `ms` from now; returns an id for cancel().
    uint64_t after(uint64_t ms, TimerHandler handler);
    void cancel(uint64_t id);

    void run();
    void stop() { running_ = false; }

    static uint64_t nowMs();

  private:
    struct Watch {
        short events;
        uint64_t generation;
        FdHandler handler;
    };
    struct Timer {
        uint64_t due;
        TimerHandler handler;
    };

    void runDueTimers();

    std::map<int, Watch> watches_;
    std::map<uint64_t, Timer> timers_;  // by id, ids increase
    uint64_t nextGeneration_ = 1;
    uint64_t nextTimer_ = 1;
    bool running_ = false;
};

}  // namespace zvsim
