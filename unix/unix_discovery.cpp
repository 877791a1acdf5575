// The POSIX walks of discovery: USB devices through the shared libusb
// context, and legacy Ethernet modules through a UDP multicast request.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "aTime.h"
#include "discover.h"
#include "zvusb_driver.h"

namespace {

constexpr uint8_t kMaxCount = 255;
constexpr int kUsbSerialBuffer = 32;

void sCount(uint8_t& count, bool found) {
    if (found && count < kMaxCount) ++count;
}

// ---- USB ----

// The device's record, when it is a family device whose serial-number
// string reads as one.
bool sUsbSpec(libusb_device* device, linkSpec* spec) {
    if (!is_zentrovia_device(device)) return false;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0 || !handle) return false;
    unsigned char text[kUsbSerialBuffer] = {};
    const int length = descriptor.iSerialNumber == 0
                           ? -1
                           : libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                                text, sizeof text);
    libusb_close(handle);
    return length > 0 && aLinkSpec_FromUSBDescriptor(reinterpret_cast<const char*>(text),
                                                     static_cast<size_t>(length),
                                                     descriptor.idProduct, spec) == aErrNone;
}

// ---- legacy Ethernet ----

class Socket {
  public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        if (fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) reset();
    }
    ~Socket() { reset(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int fd_;
};

sockaddr_in sAddress(uint32_t networkOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = networkOrderAddress;
    a.sin_port = htons(port);
    return a;
}

// One request from the interface (network order), or through the system's
// default multicast interface for 0.
bool sSendRequest(uint32_t from, uint16_t requestPort) {
    Socket s;
    if (!s.valid()) return false;
    if (from != 0) {
        in_addr address{};
        address.s_addr = from;
        if (setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0)
            return false;
    }
    uint8_t request[kLegacyDiscoverySize];
    aLinkSpec_EncodeLegacyRequest(request, sizeof request);
    const sockaddr_in group = sAddress(htonl(aDISCOVERY_LEGACY_GROUP), requestPort);
    return sendto(s.fd(), request, sizeof request, MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&group), sizeof group) == sizeof request;
}

// The host's IPv4 addresses other than 0 and 127.0.0.1; false when they
// cannot be listed.
bool sHostAddresses(std::vector<uint32_t>& addresses) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (a != 0 && a != htonl(INADDR_LOOPBACK)) addresses.push_back(a);
    }
    freeifaddrs(list);
    return true;
}

// Requests sent: from the given interface, else from every address of the
// host. A host without other addresses asks through its default interface
// and, failing that, through loopback, where only local modules listen.
int sSendRequests(uint32_t networkInterface, bool anyInterface, uint16_t requestPort) {
    if (!anyInterface) return sSendRequest(networkInterface, requestPort) ? 1 : 0;
    std::vector<uint32_t> addresses;
    sHostAddresses(addresses);
    int sent = 0;
    for (uint32_t a : addresses) sent += sSendRequest(a, requestPort) ? 1 : 0;
    if (addresses.empty()) {
        sent = sSendRequest(0, requestPort) ? 1 : 0;
        if (sent == 0) sent = sSendRequest(htonl(INADDR_LOOPBACK), requestPort) ? 1 : 0;
    }
    return sent;
}

// Waits for the next datagram; false after the wait or past the deadline.
bool sAwaitReply(int fd, uint64_t deadline) {
    const uint64_t now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return false;
    const uint64_t left = deadline - now;
    const int wait =
        static_cast<int>(left < aDISCOVERY_LEGACY_WAIT_MS ? left : aDISCOVERY_LEGACY_WAIT_MS);
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, wait);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

}  // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref) {
    if (!callback) return 0;
    libusb_context* context = Zentrovia_libusb_context();
    if (!context) return 0;
    libusb_device** devices = nullptr;
    const ssize_t n = libusb_get_device_list(context, &devices);
    uint8_t count = 0;
    bool going = true;
    for (ssize_t i = 0; i < n && going; ++i) {
        linkSpec spec{};
        if (!sUsbSpec(devices[i], &spec)) continue;
        bool found = false;
        going = callback(&spec, &found, ref);
        sCount(count, found);
    }
    if (devices) libusb_free_device_list(devices, 1);
    return count;
}

uint8_t aDiscovery_EnumerateLegacyEthernet(aDiscoveryModuleFoundProc callback, void* ref,
                                           uint32_t networkInterface, uint16_t requestPort,
                                           uint16_t replyPort) {
    if (!callback) return 0;
    const bool anyInterface = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
    Socket listener;
    const sockaddr_in local =
        sAddress(anyInterface ? htonl(INADDR_ANY) : networkInterface, replyPort);
    if (!listener.valid() ||
        bind(listener.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return 0;
    if (sSendRequests(networkInterface, anyInterface, requestPort) == 0) return 0;

    const uint64_t deadline = aTime_GetMonotonicMSTicks() + aDISCOVERY_LEGACY_MAX_MS;
    uint8_t count = 0;
    bool going = true;
    while (going && sAwaitReply(listener.fd(), deadline)) {
        uint8_t reply[kLegacyDiscoverySize];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(listener.fd(), reply, sizeof reply, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        linkSpec spec{};
        if (aLinkSpec_DecodeLegacyReply(reply, static_cast<size_t>(n), from.sin_addr.s_addr,
                                        &spec) != aErrNone)
            continue;
        bool found = false;
        going = callback(&spec, &found, ref);
        sCount(count, found);
    }
    return count;
}
