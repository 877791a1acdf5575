// Legacy Ethernet discovery answers on fixed ports, so two discovery runs on
// one host take each other's replies. Tests that use the standard ports hold
// this lock (shared across test processes) for the run.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testsupport {

class StandardPortsLock {
public:
    StandardPortsLock() {
        fd_ = open("/tmp/zentrovia-discovery-tests.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~StandardPortsLock() {
        if (fd_ >= 0) close(fd_);
    }
    StandardPortsLock(const StandardPortsLock&) = delete;
    StandardPortsLock& operator=(const StandardPortsLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace testsupport
