#include "fd_output.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zvsim {
namespace {

ssize_t writeSome(int fd, const uint8_t* data, size_t n) {
    ssize_t r = send(fd, data, n, MSG_NOSIGNAL);
    if (r < 0 && errno == ENOTSOCK) r = ::write(fd, data, n);
    return r;
}

}  // namespace

bool FdOutput::write(int fd, const std::vector<uint8_t>& bytes) {
    if (queue_.size() + bytes.size() > kLimit) {
        dropped_ += bytes.size();
        return true;
    }
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    return flush(fd);
}

bool FdOutput::flush(int fd) {
    while (!queue_.empty()) {
        const ssize_t n = writeSome(fd, queue_.data(), queue_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        queue_.erase(queue_.begin(), queue_.begin() + n);
    }
    return true;
}

}  // namespace zvsim
