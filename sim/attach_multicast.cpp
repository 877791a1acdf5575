#include "attach_multicast.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "discovery_datagram.h"
#include "log.h"

namespace zvsim {

MulticastResponder::~MulticastResponder() {
    if (fd_ >= 0) {
        sim_.loop().unwatch(fd_);
        close(fd_);
    }
}

bool MulticastResponder::open(std::string& error) {
    const SimConfig& c = sim_.config();
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(c.multicastPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "discovery socket on port " + std::to_string(c.multicastPort) + ": " +
                std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);

    // Join on every IPv4 interface, so requests sent from any of the host's
    // addresses (loopback included) arrive.
    ip_mreq mreq{};
    inet_pton(AF_INET, c.multicastGroup.c_str(), &mreq.imr_multiaddr);
    int joined = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
            mreq.imr_interface = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
            if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0) ++joined;
        }
        freeifaddrs(list);
    }
    if (joined == 0) {
        error = "cannot join multicast group " + c.multicastGroup + " on any interface";
        return false;
    }
    sim_.loop().watch(fd_, POLLIN, [this](short) { onRequest(); });
    for (const Entry& e : entries_)
        sim_.announce("ready multicast " + serialText(e.module->model.serial()) + " " +
                      c.multicastGroup + ":" + std::to_string(port_));
    return true;
}

void MulticastResponder::onRequest() {
    uint8_t buf[512];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0 || !isDiscoveryRequest(buf, static_cast<size_t>(n))) return;
    from.sin_port = htons(sim_.config().multicastReplyPort);
    for (const Entry& e : entries_) {
        if (!e.module->up) continue;
        const ModuleModel& m = e.module->model;
        const std::vector<uint8_t> reply =
            discoveryReply(m.address(), e.tcp->port(), m.serial(), m.config().model);
        if (sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   sizeof from) < 0 &&
            sim_.verbose())
            logLine("discovery reply to port %u failed: %s", sim_.config().multicastReplyPort,
                    std::strerror(errno));
    }
}

}  // namespace zvsim
