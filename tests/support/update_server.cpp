#include "update_server.h"

namespace testsupport {

UpdateServer::UpdateServer(const std::string& root, const std::vector<std::string>& extra)
    : process_([&] {
          std::vector<std::string> argv = {std::string(BUILD_DIR) + "/tools/update-server/update-server", "--root",
                                           root};
          argv.insert(argv.end(), extra.begin(), extra.end());
          return argv;
      }()) {
    std::string line = process_.waitForLine("listening ", 10.0);
    if (!line.empty()) url_ = line.substr(line.find(' ') + 1);
}

}  // namespace testsupport

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

ClosedPort::ClosedPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port_ = ntohs(a.sin_port);
}

ClosedPort::~ClosedPort() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace testsupport
