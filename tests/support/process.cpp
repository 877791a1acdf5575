#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

double secondsLeft(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// Forks and execs argv with the given pipes as stdout/stderr; returns the pid.
int spawn(const std::vector<std::string>& argv, const RunOptions& options, int outFd, int errFd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    for (const auto& name : options.unsetEnv) unsetenv(name.c_str());
    for (const auto& [k, v] : options.env) setenv(k.c_str(), v.c_str(), 1);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    // New process group, so stop() reaches helpers the child starts.
    setpgid(0, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

int decodeStatus(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    return -1;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    int outPipe[2], errPipe[2];
    int childOut = -1;
    if (options.ptyStdout) {
        int master = -1, slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
        outPipe[0] = master;
        outPipe[1] = slave;
    } else if (pipe(outPipe) != 0) {
        return result;
    }
    if (pipe(errPipe) != 0) return result;
    childOut = outPipe[1];
    int pid = spawn(argv, options, childOut, errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);

    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options.timeoutSeconds));
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        double left = secondsLeft(deadline);
        if (left <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        int n = poll(fds, 2, static_cast<int>(left * 1000) + 1);
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = result.timedOut ? -1 : decodeStatus(wstatus);
    return result;
}

Background::Background(const std::vector<std::string>& argv, const RunOptions& options) {
    int outPipe[2];
    if (pipe(outPipe) != 0) return;
    pid_ = spawn(argv, options, outPipe[1], 2);
    close(outPipe[1]);
    outFd_ = outPipe[0];
}

Background::~Background() {
    if (pid_ > 0) stop(SIGTERM, 5.0);
    if (outFd_ >= 0) close(outFd_);
}

std::string Background::waitForLine(const std::string& needle, double timeoutSeconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeoutSeconds));
    size_t scanned = 0;
    for (;;) {
        size_t nl;
        while ((nl = out_.find('\n', scanned)) != std::string::npos) {
            std::string line = out_.substr(scanned, nl - scanned);
            scanned = nl + 1;
            if (line.find(needle) != std::string::npos) return line;
        }
        double left = secondsLeft(deadline);
        if (left <= 0 || outFd_ < 0) return {};
        pollfd p{outFd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buf[4096];
        ssize_t got = read(outFd_, buf, sizeof buf);
        if (got <= 0) {
            close(outFd_);
            outFd_ = -1;
            return {};
        }
        out_.append(buf, static_cast<size_t>(got));
    }
}

int Background::stop(int signal, double timeoutSeconds) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeoutSeconds));
    int wstatus = 0;
    int status = -1;
    for (;;) {
        pid_t r = waitpid(pid_, &wstatus, WNOHANG);
        if (r == pid_) {
            status = decodeStatus(wstatus);
            break;
        }
        if (secondsLeft(deadline) <= 0) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            waitpid(pid_, &wstatus, 0);
            break;
        }
        usleep(10 * 1000);
    }
    pid_ = -1;
    return status;
}

}  // namespace testsupport
