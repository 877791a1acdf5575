#include "aMulticast.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "aDebug.h"

namespace {

constexpr int kFailed = -1;
constexpr int kNoEndpoint = -2;
constexpr int kWrongDirection = -3;

sockaddr_in sAddress(uint32_t networkOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = networkOrderAddress;
    a.sin_port = htons(port);
    return a;
}

template <typename T>
bool sSetOption(int fd, int level, int name, const T& value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool sConfigure(aMulticast* m) {
    const int fd = m->socket;
    ip_mreq membership{};
    membership.imr_multiaddr = m->group.sin_addr;
    membership.imr_interface = m->interfaceAddress.sin_addr;
    const timeval receiveTimeout{aMULTICAST_RECEIVE_TIMEOUT_MS / 1000,
                                 (aMULTICAST_RECEIVE_TIMEOUT_MS % 1000) * 1000};
    return sSetOption(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, membership) &&
           sSetOption(fd, IPPROTO_IP, IP_MULTICAST_IF, m->interfaceAddress.sin_addr) &&
           sSetOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<unsigned char>(1)) &&
           sSetOption(fd, SOL_SOCKET, SO_RCVTIMEO, receiveTimeout) &&
           sSetOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, static_cast<unsigned char>(1));
}

}  // namespace

aMulticastRef aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port,
                                bool sender) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    if (networkInterface == 0) networkInterface = loopback;

    auto* m = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
    if (!m) return nullptr;
    m->sender = sender ? 1 : 0;
    m->group = sAddress(group, port);
    m->interfaceAddress = sAddress(networkInterface, 0);
    m->bindAddress = sender ? sAddress(networkInterface, 0) : sAddress(htonl(INADDR_ANY), port);
    m->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m->socket < 0) {
        free(m);
        return nullptr;
    }
    bool ok = sSetOption(m->socket, SOL_SOCKET, SO_REUSEADDR, 0);
    if (ok && !sender) {
        if (bind(m->socket, reinterpret_cast<const sockaddr*>(&m->bindAddress),
                 sizeof m->bindAddress) != 0) {
            aDebug_Printf(aDEBUG_SERVER, "bind() failed with error code %d \n", errno);
            ok = false;
        }
    }
    if (ok) ok = sConfigure(m);
    if (!ok) {
        close(m->socket);
        free(m);
        return nullptr;
    }
    return m;
}

int aMulticast_Send(aMulticastRef endpoint, const uint8_t* bytes, size_t length) {
    if (!endpoint) return kNoEndpoint;
    if (!endpoint->sender) return kWrongDirection;
    if (!bytes && length) return kFailed;
    const ssize_t sent =
        sendto(endpoint->socket, bytes, length, MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&endpoint->group), sizeof endpoint->group);
    return sent < 0 ? kFailed : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticastRef endpoint, uint8_t* buffer, size_t capacity) {
    if (!endpoint) return kNoEndpoint;
    if (endpoint->sender) return kWrongDirection;
    if (!buffer) return kFailed;
    pollfd p{endpoint->socket, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, aMULTICAST_RECEIVE_TIMEOUT_MS);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return kFailed;
    const ssize_t received = recv(endpoint->socket, buffer, capacity, MSG_DONTWAIT);
    return received < 0 ? kFailed : static_cast<int>(received);
}

int aMulticast_Destroy(aMulticastRef* endpoint) {
    if (!endpoint || !*endpoint) return kNoEndpoint;
    close((*endpoint)->socket);
    free(*endpoint);
    *endpoint = nullptr;
    return 0;
}
