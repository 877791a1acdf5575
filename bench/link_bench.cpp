// Link benchmark: request/response round trips per second through a TCPIP
// link to an echoing module on loopback, beside a plain blocking socket
// client doing the same exchange (the floor), and the CPU time an idle
// connected link costs.
//
// Usage: bench_link [--seconds N] [--idle-seconds N]
// (--seconds: measuring time of each path, default 3; --idle-seconds: 5)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aBytes.h"
#include "aLink.h"
#include "aPacket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 0x06;
constexpr uint8_t kRequestData = 8;  // data bytes per request
constexpr size_t kFrameSize = kRequestData + 2;
constexpr int kSlices = 20;  // alternating link and floor measuring slices

// ---- the module on the far side ----

bool sReadFully(int fd, uint8_t* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::read(fd, data + got, length - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool sWriteFully(int fd, const uint8_t* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void sNoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Answers like a module: echoes every frame to its own address, answers an
// address echo with an empty frame, ignores force-route frames.
void sServeModule(int fd) {
    sNoDelay(fd);
    for (;;) {
        uint8_t header[2];
        if (!sReadFully(fd, header, sizeof header)) break;
        zv::ByteReader in(header, sizeof header);
        const uint8_t address = in.u8();
        const uint8_t length = in.u8();
        uint8_t frame[aPACKET_MAX_FRAME];
        zv::ByteWriter out(frame, sizeof frame);
        out.u8(address);
        out.u8(length);
        if (length > aPACKET_MAX_DATA) break;
        uint8_t data[aPACKET_MAX_DATA];
        if (!sReadFully(fd, data, length)) break;
        out.bytes(data, length);
        bool ok = true;
        if (address == 0xAD) {
            const uint8_t answer[] = {kModule, 0};
            ok = sWriteFully(fd, answer, sizeof answer);
        } else if ((address & 1) == 0) {
            ok = sWriteFully(fd, frame, out.position());
        }
        if (!ok) break;
    }
    ::close(fd);
}

class ModuleServer {
  public:
    ModuleServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 8) != 0) {
            std::perror("bench_link: listen");
            std::exit(1);
        }
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            while (!stopping_) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd >= 0) std::thread(sServeModule, fd).detach();
            }
        });
    }
    ~ModuleServer() {
        stopping_ = true;
        acceptor_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
};

// ---- measurements ----

void sFillRequest(uint8_t* data, uint32_t sequence) {
    zv::ByteWriter out(data, kRequestData);
    out.u8(0x17);  // echo test command
    out.u32be(sequence);
    out.zeros(kRequestData - 5);
}

bool sIsAnswerTo(const aPacket* packet, void* ref) {
    zv::ByteReader in(packet->data, packet->length);
    in.u8();
    const uint32_t sequence = in.u32be();
    return in.ok() && packet->address == kModule && sequence == *static_cast<const uint32_t*>(ref);
}

// Round trips done and time taken by one measuring slice.
struct Tally {
    double count = 0;
    double seconds = 0;
    void add(double n, Clock::time_point start) {
        count += n;
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    double rate() const { return seconds > 0 ? count / seconds : 0; }
};

bool sLinkRoundTrips(int32_t link, double seconds, Tally& tally) {
    static uint32_t sequence = 0;
    uint32_t done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    uint8_t data[kRequestData];
    for (; Clock::now() < end; ++done) {
        sFillRequest(data, ++sequence);
        aPacket* request = aPacket_CreateWithData(kModule, kRequestData, data);
        aLink_PutPacket(link, request);
        aPacket_Destroy(&request);
        aPacket* answer = aLink_AwaitFirst(link, sIsAnswerTo, &sequence, 1000);
        if (!answer) {
            std::fprintf(stderr, "bench_link: no answer from the link\n");
            return false;
        }
        aPacket_Destroy(&answer);
    }
    tally.add(done, start);
    return true;
}

int sConnectFloor(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bench_link: connect");
        ::close(fd);
        return -1;
    }
    sNoDelay(fd);
    return fd;
}

// The floor: the same exchange from one thread over a blocking socket.
bool sSocketRoundTrips(int fd, double seconds, Tally& tally) {
    static uint32_t sequence = 0;
    uint32_t done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    uint8_t frame[kFrameSize];
    uint8_t answer[kFrameSize];
    for (; Clock::now() < end; ++done) {
        zv::ByteWriter out(frame, sizeof frame);
        out.u8(kModule);
        out.u8(kRequestData);
        uint8_t data[kRequestData];
        sFillRequest(data, ++sequence);
        out.bytes(data, sizeof data);
        if (!sWriteFully(fd, frame, sizeof frame) || !sReadFully(fd, answer, sizeof answer)) {
            std::fprintf(stderr, "bench_link: socket exchange failed\n");
            return false;
        }
    }
    tally.add(done, start);
    return true;
}

double sCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double sArgument(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = sArgument(argc, argv, "--seconds", 3);
    const double idleSeconds = sArgument(argc, argv, "--idle-seconds", 5);
    if (seconds <= 0 || idleSeconds <= 0) {
        std::fprintf(stderr, "usage: bench_link [--seconds N] [--idle-seconds N]\n");
        return 2;
    }
    ModuleServer module;
    int32_t link = aLink_CreateTCPIP(0xBE0C0001, htonl(INADDR_LOOPBACK), module.port());
    if (link == 0) {
        std::fprintf(stderr, "bench_link: cannot create the link\n");
        return 1;
    }

    const int floorFd = sConnectFloor(module.port());
    if (floorFd < 0) return 1;

    // Short alternating slices, so both paths see the same load from
    // whatever else the machine runs; the first pair only warms up.
    Tally viaLinkTally, floorTally, warmUp;
    bool ok = sLinkRoundTrips(link, 0.1, warmUp) && sSocketRoundTrips(floorFd, 0.1, warmUp);
    const double slice = seconds / kSlices;
    for (int i = 0; ok && i < kSlices; ++i) {
        ok = sLinkRoundTrips(link, slice, viaLinkTally) &&
             sSocketRoundTrips(floorFd, slice, floorTally);
    }
    ::close(floorFd);
    const double viaLink = ok ? viaLinkTally.rate() : 0;
    const double floor = ok ? floorTally.rate() : 0;

    const double cpuBefore = sCpuSeconds();
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
    const double idleCpu = sCpuSeconds() - cpuBefore;
    const bool stillRunning = aLink_GetStatus(link) == kLinkRunning;
    aLink_Destroy(&link);

    const double ratio = floor > 0 ? viaLink / floor : 0;
    const double idlePercent = 100.0 * idleCpu / idleWall;
    std::printf("link round trips/s:          %.0f\n", viaLink);
    std::printf("socket floor round trips/s:  %.0f\n", floor);
    std::printf("link/floor ratio:            %.2f (goal >= 0.80)\n", ratio);
    std::printf("idle link CPU over %.0f s:     %.3f%% of a core (goal < 1%%)%s\n", idleWall,
                idlePercent, stillRunning ? "" : " [link was not running]");
    return viaLink > 0 && floor > 0 && stillRunning ? 0 : 1;
}
