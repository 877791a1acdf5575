#include "event_loop.h"

#include <cerrno>
#include <ctime>
#include <vector>

namespace zvsim {

uint64_t EventLoop::nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void EventLoop::watch(int fd, short events, FdHandler handler) {
    watches_[fd] = Watch{events, nextGeneration_++, std::move(handler)};
}

void EventLoop::setEvents(int fd, short events) {
    auto it = watches_.find(fd);
    if (it != watches_.end()) it->second.events = events;
}

void EventLoop::unwatch(int fd) {
    watches_.erase(fd);
}

uint64_t EventLoop::after(uint64_t ms, TimerHandler handler) {
    const uint64_t id = nextTimer_++;
    timers_[id] = Timer{nowMs() + ms, std::move(handler)};
    return id;
}

void EventLoop::cancel(uint64_t id) {
    timers_.erase(id);
}

void EventLoop::runDueTimers() {
    const uint64_t now = nowMs();
    std::vector<uint64_t> due;
    for (const auto& [id, timer] : timers_)
        if (timer.due <= now) due.push_back(id);
    for (uint64_t id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // cancelled by an earlier handler
        TimerHandler handler = std::move(it->second.handler);
        timers_.erase(it);
        handler();
    }
}

void EventLoop::run() {
    running_ = true;
    while (running_) {
        int timeout = 1000;
        const uint64_t now = nowMs();
        for (const auto& [id, timer] : timers_) {
            const uint64_t wait = timer.due > now ? timer.due - now : 0;
            if (wait < static_cast<uint64_t>(timeout)) timeout = static_cast<int>(wait);
        }
        std::vector<pollfd> fds;
        std::vector<uint64_t> generations;
        for (const auto& [fd, w] : watches_) {
            fds.push_back(pollfd{fd, w.events, 0});
            generations.push_back(w.generation);
        }
        const int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        for (size_t i = 0; n > 0 && i < fds.size() && running_; ++i) {
            if (fds[i].revents == 0) continue;
            auto it = watches_.find(fds[i].fd);
            // Skip a descriptor that an earlier handler closed or replaced.
            if (it == watches_.end() || it->second.generation != generations[i]) continue;
            FdHandler handler = it->second.handler;
            handler(fds[i].revents);
        }
        if (running_) runDueTimers();
    }
}

}  // namespace zvsim
