// Runs a real program for end-to-end tests: captures standard output and
// standard error separately, bounds the run with a deadline, and reports the
// exit status. Nothing here knows about the programs it runs.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct RunResult {
    int status = -1;         // exit status, or -1 when killed or not started
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::vector<std::string> unsetEnv;
    std::string cwd;
    double timeoutSeconds = 30.0;
    bool ptyStdout = false;  // give the child a terminal as standard output
};

RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// A background process (simulator, server); killed with SIGTERM on destruction.
class Background {
public:
    Background() = default;
    explicit Background(const std::vector<std::string>& argv, const RunOptions& options = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    bool running() const { return pid_ > 0; }
    int pid() const { return pid_; }
    // Reads standard output until a line containing `needle` appears; returns that line.
    std::string waitForLine(const std::string& needle, double timeoutSeconds = 10.0);
    // Sends a signal and waits for the exit; returns the exit status (-1 when killed).
    int stop(int signal = 15, double timeoutSeconds = 10.0);
    const std::string& output() const { return out_; }

private:
    int pid_ = -1;
    int outFd_ = -1;
    std::string out_;
};

}  // namespace testsupport
