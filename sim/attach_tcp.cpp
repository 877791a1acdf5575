#include "attach_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.h"

namespace zvsim {
namespace {

// Closing with a zero linger resets the connection, as a device that loses
// power does.
void resetAndClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

}  // namespace

class TcpAttachment::TcpConnection : public Connection {
  public:
    TcpConnection(TcpAttachment& owner, int fd, std::string peer)
        : owner_(owner), fd_(fd), peer_(std::move(peer)) {}
    ~TcpConnection() override {
        if (fd_ >= 0) close(fd_);
    }

    void start() {
        setId(owner_.sim_.addConnection(*this, owner_.module_));
        owner_.sim_.loop().watch(fd_, POLLIN, [this](short revents) { onEvents(revents); });
    }

    void send(const Frame& frame) override {
        if (fd_ < 0) return;
        if (!output_.write(fd_, encodeFrame(frame))) {
            drop();
            return;
        }
        owner_.sim_.loop().setEvents(fd_, output_.pending() ? POLLIN | POLLOUT : POLLIN);
    }

    void drop() override { shut(true); }

    // A restarting module ends its connections in order, so an answer sent
    // just before (LOAD's) still reaches the host; a cut link is reset.
    void shut(bool abrupt) {
        if (fd_ < 0) return;
        owner_.sim_.loop().unwatch(fd_);
        if (abrupt) {
            resetAndClose(fd_);
        } else {
            output_.flush(fd_);
            shutdown(fd_, SHUT_RDWR);
            close(fd_);
        }
        fd_ = -1;
        owner_.sim_.removeConnection(id());
        owner_.bury(this);
    }

    std::string describe() const override { return "tcp " + peer_; }
    bool open() const { return fd_ >= 0; }

  private:
    void onEvents(short revents) {
        if (revents & POLLOUT) {
            if (!output_.flush(fd_)) return drop();
            owner_.sim_.loop().setEvents(fd_, output_.pending() ? POLLIN | POLLOUT : POLLIN);
        }
        if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
        uint8_t buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            if (owner_.sim_.verbose()) logLine("%s closed by the host", describe().c_str());
            return drop();
        }
        std::vector<Frame> frames;
        parser_.feed(buf, static_cast<size_t>(n), frames);
        for (const Frame& f : frames) {
            if (fd_ < 0) break;  // a frame cut the link
            owner_.sim_.deliver(id(), f);
        }
    }

    TcpAttachment& owner_;
    int fd_;
    std::string peer_;
    RawFrameParser parser_;
    FdOutput output_;
};

TcpAttachment::TcpAttachment(Simulator& sim, SimModule& module) : sim_(sim), module_(module) {}

TcpAttachment::~TcpAttachment() {
    dropLinks();
    if (listener_ >= 0) {
        sim_.loop().unwatch(listener_);
        close(listener_);
    }
}

bool TcpAttachment::open(std::string& error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(module_.model.config().tcpPort);
    inet_pton(AF_INET, sim_.config().tcpBind.c_str(), &addr.sin_addr);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 8) != 0) {
        error = "tcp listener on " + sim_.config().tcpBind + ":" +
                std::to_string(module_.model.config().tcpPort) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    sim_.loop().watch(listener_, POLLIN, [this](short) { onAccept(); });
    announce();
    return true;
}

void TcpAttachment::announce() {
    sim_.announce("ready tcp " + serialText(module_.model.serial()) + " " + sim_.config().tcpBind +
                  ":" + std::to_string(port_));
}

void TcpAttachment::bury(TcpConnection* connection) {
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [&](const auto& c) { return c.get() == connection; });
    if (it == connections_.end()) return;
    closed_.push_back(std::move(*it));
    connections_.erase(it);
}

void TcpAttachment::onAccept() {
    closed_.clear();
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    const std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    if (!module_.up || (module_.model.config().busy && !connections_.empty())) {
        if (sim_.verbose())
            logLine("tcp %s refused (%s)", name.c_str(), module_.up ? "busy" : "restarting");
        resetAndClose(fd);
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections_.push_back(std::make_unique<TcpConnection>(*this, fd, name));
    connections_.back()->start();
}

void TcpAttachment::goDown() {
    while (!connections_.empty()) connections_.back()->shut(false);
}

void TcpAttachment::comeUp() {
    announce();
}

void TcpAttachment::dropLinks() {
    while (!connections_.empty()) connections_.back()->drop();
}

}  // namespace zvsim
