// Starts the reference update server for a test and tells its URL.
#pragma once

#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

class UpdateServer {
public:
    // `extra` are further command-line options (--fault, --cert/--key, ...).
    UpdateServer(const std::string& root, const std::vector<std::string>& extra = {});
    const std::string& url() const { return url_; }
    bool ok() const { return !url_.empty(); }
    Background& process() { return process_; }

private:
    Background process_;
    std::string url_;
};

}  // namespace testsupport

namespace testsupport {

// A loopback port held bound but never listening: connections to it are
// refused at once, and nothing else can take it while the object lives.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace testsupport
