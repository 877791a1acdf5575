// The simulator seen from the wire: raw frames over TCP (directly and through
// a router), COBS blocks over its serial pseudo-terminal, the legacy
// discovery datagram, a USB session as the libusb stand-in opens it, the
// report, and injected faults. The test speaks the formats itself and uses
// none of the library's links or streams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../fakes/fake_usb_protocol.h"
#include "process.h"
#include "tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::Background;
using testsupport::TempDir;

const std::string kSim = BUILD_DIR "/sim/zvsim";
constexpr uint8_t kModule = 2;

// The value after the last space of a "ready ..." line.
std::string endpointOf(const std::string& line) {
    return line.substr(line.rfind(' ') + 1);
}

uint16_t portOf(const std::string& endpoint) {
    return static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1)));
}

// Reads whatever arrives within the deadline into `buf`; false on timeout or
// end of stream.
bool readSome(int fd, Bytes& buf, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    uint8_t chunk[512];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf.insert(buf.end(), chunk, chunk + n);
    return true;
}

// A host end of a TCP link carrying raw frames (address, length, data).
class RawLink {
  public:
    explicit RawLink(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawLink() { close(fd_); }
    bool connected() const { return connected_; }

    void send(uint8_t address, const Bytes& data) {
        Bytes frame{address, static_cast<uint8_t>(data.size())};
        frame.insert(frame.end(), data.begin(), data.end());
        ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }
    // The next frame as address followed by data, or empty after the wait.
    Bytes receive(int waitMs = 1000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            if (buf_.size() >= 2 && buf_.size() >= 2u + buf_[1]) {
                Bytes frame{buf_[0]};
                frame.insert(frame.end(), buf_.begin() + 2, buf_.begin() + 2 + buf_[1]);
                buf_.erase(buf_.begin(), buf_.begin() + 2 + buf_[1]);
                return frame;
            }
            if (!readSome(fd_, buf_, deadline)) return {};
        }
    }
    Bytes exchange(const Bytes& data, int waitMs = 1000) {
        send(kModule, data);
        return receive(waitMs);
    }
    // True when the simulator closed the connection.
    bool closedByPeer() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 100) >= 0 && std::chrono::steady_clock::now() < deadline) {
            uint8_t b;
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && read(fd_, &b, 1) <= 0) return true;
        }
        return false;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    Bytes buf_;
};

struct Sim {
    explicit Sim(const std::vector<std::string>& args) : process(withProgram(args)) {
        started = !process.waitForLine("started").empty();
    }
    static std::vector<std::string> withProgram(std::vector<std::string> args) {
        args.insert(args.begin(), kSim);
        return args;
    }
    std::string endpoint(const std::string& kind) {
        return endpointOf(process.waitForLine("ready " + kind));
    }

    Background process;
    bool started = false;
};

Bytes payload100() {
    Bytes b(100);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

TEST(Zvsim, AnswersRawFramesAndRecordsAnUpgradeInItsReport) {
    TempDir dir;
    const std::string report = dir.file("report.json");
    Sim sim({"--report", report, "--module",
             "serial=40F5849A,model=27,tcp,multicast=0,hb-ms=0,block-size=64"});
    ASSERT_TRUE(sim.started);
    RawLink link(portOf(sim.endpoint("tcp")));
    ASSERT_TRUE(link.connected());

    link.send(0xAD, {});
    EXPECT_EQ(link.receive(), (Bytes{kModule}));
    EXPECT_EQ(link.exchange({3, 0x49, 0x20}), (Bytes{kModule, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
    EXPECT_EQ(link.exchange({3, 0x48, 0x20}), (Bytes{kModule, 3, 8, 0, 27}));

    EXPECT_EQ(link.exchange({0x5F, 0}), (Bytes{kModule, 0x5F, 0, 0x20, 0, 0, 0}));
    // One block at 0x1000 in two writes of 64 and 36 bytes (the block size
    // answered is 64), each sent in DATA packets of up to 26 bytes and summed.
    EXPECT_EQ(link.exchange({0x5F, 3, 0, 0, 0, 0x10, 0}), (Bytes{kModule, 0x5F, 7, 0, 0, 64}));
    const Bytes data = payload100();
    for (size_t chunk = 0; chunk < data.size(); chunk += 64) {
        const size_t end = std::min<size_t>(chunk + 64, data.size());
        uint32_t sum = 0;
        for (size_t at = chunk; at < end; at += 26) {
            const size_t n = std::min<size_t>(26, end - at);
            Bytes packet{0x5F, 1};
            packet.insert(packet.end(), data.begin() + at, data.begin() + at + n);
            EXPECT_EQ(link.exchange(packet), (Bytes{kModule, 0x5F, 1, static_cast<uint8_t>(n)}));
            for (size_t i = at; i < at + n; ++i) sum += data[i];
        }
        EXPECT_EQ(link.exchange({0x5F, 4}),
                  (Bytes{kModule, 0x5F, 7, 0, 0, 0, static_cast<uint8_t>(sum >> 8),
                         static_cast<uint8_t>(sum)}));
        EXPECT_EQ(link.exchange({0x5F, 5, 0, static_cast<uint8_t>(end - chunk)}),
                  (Bytes{kModule, 0x5F, 7, 0}));
    }
    link.send(kModule, {0x5F, 6});
    EXPECT_TRUE(link.closedByPeer());  // a reboot drops the link
    EXPECT_NE(sim.process.waitForLine("up 40F5849A firmware"), "");

    EXPECT_EQ(sim.process.stop(), 0);
    const std::string json = testsupport::readFile(report);
    // One range, SHA-256 of the bytes 0 to 99.
    EXPECT_NE(json.find("{\"address\": 4096, \"length\": 100, \"sha256\": "
                        "\"bce0aff19cf5aa6a7469a30d61d04e4376e4bbf6381052ee9e7f33925c954d52\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"reboot\": 1"), std::string::npos) << json;
}

TEST(Zvsim, RouterReachesTheModulesBehindIt) {
    Sim sim({"--module", "serial=40F5849A,tcp,multicast=0,hb-ms=0", "--module",
             "serial=0BADF00D,address=8,behind=40F5849A"});
    ASSERT_TRUE(sim.started);
    RawLink link(portOf(sim.endpoint("tcp")));
    ASSERT_TRUE(link.connected());
    // I2C probe writes (command 8, index 0, address, 2 bytes, speed 3): the
    // module at 8 acknowledges, nobody answers at 10.
    EXPECT_EQ(link.exchange({8, 0, 8, 2, 3, 0, 0}), (Bytes{kModule, 8, 0, 8, 0, 0}));
    EXPECT_EQ(link.exchange({8, 0, 10, 2, 3, 0, 0}).at(5) & 0x80, 0x80);
    link.send(8, {3, 0x49, 0x20});
    EXPECT_EQ(link.receive(), (Bytes{8, 3, 9, 0, 0x0B, 0xAD, 0xF0, 0x0D}));
    link.send(8, {3, 0x42, 0x20});  // its router's address
    EXPECT_EQ(link.receive(), (Bytes{8, 3, 2, 0, kModule}));
}

TEST(Zvsim, InjectedFaultsHitTheChosenPackets) {
    Sim sim({"--module",
             "serial=12345678,tcp,multicast=0,hb-ms=0,refuse-prepare=@1,wrong-count=@1,corrupt-sum="
             "@1,drop-reply=echo@1"});
    ASSERT_TRUE(sim.started);
    RawLink link(portOf(sim.endpoint("tcp")));
    ASSERT_TRUE(link.connected());

    EXPECT_EQ(link.exchange({23, 1}, 200), Bytes{});  // the first echo goes unanswered
    EXPECT_EQ(link.exchange({23, 2}), (Bytes{kModule, 23, 2}));
    EXPECT_NE(link.exchange({0x5F, 3, 0, 0, 0, 0, 0}).at(3), 0);  // refused
    EXPECT_EQ(link.exchange({0x5F, 3, 0, 0, 0, 0, 0}).at(3), 0);
    EXPECT_EQ(link.exchange({0x5F, 1, 7, 8}),
              (Bytes{kModule, 0x5F, 1, 1}));  // wrong count, bytes dropped
    EXPECT_EQ(link.exchange({0x5F, 1, 7, 8}), (Bytes{kModule, 0x5F, 1, 2}));
    EXPECT_NE(link.exchange({0x5F, 4}), (Bytes{kModule, 0x5F, 7, 0, 0, 0, 0, 15}));  // corrupted
    EXPECT_EQ(link.exchange({0x5F, 4}), (Bytes{kModule, 0x5F, 7, 0, 0, 0, 0, 15}));
}

// Serial framing written independently of the library: CRC-8/MAXIM bit by
// bit, COBS for blocks below 254 bytes.
uint8_t crc8(const Bytes& bytes) {
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        for (int i = 0; i < 8; ++i) {
            const bool mix = (crc ^ b) & 1;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
            b >>= 1;
        }
    }
    return crc;
}

Bytes cobsBlock(Bytes frame) {
    frame.push_back(crc8(frame));
    Bytes out{0};
    size_t code = 0;
    for (uint8_t b : frame) {
        if (b == 0) {
            out[code] = static_cast<uint8_t>(out.size() - code);
            code = out.size();
            out.push_back(0);
        } else {
            out.push_back(b);
        }
    }
    out[code] = static_cast<uint8_t>(out.size() - code);
    out.push_back(0);
    return out;
}

TEST(Zvsim, SerialPtyCarriesCobsFramesWithCrc) {
    // The block the line carries for an empty frame from address 4.
    EXPECT_EQ(cobsBlock({4, 0}), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));

    Sim sim({"--module", "serial=0000ABCD,address=4,serial-pty,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    const int fd = open(sim.endpoint("serial").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);

    const Bytes request = cobsBlock({4, 5, 23, 0, 0xAA, 0, 0x55});  // echo test with zero bytes
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((got.empty() || got.back() != 0) && readSome(fd, got, deadline)) {
    }
    close(fd);
    EXPECT_EQ(got, request);
}

TEST(Zvsim, AnswersTheLegacyDiscoveryRequest) {
    const int listener = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t len = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &len);
    const std::string replyPort = std::to_string(ntohs(local.sin_port));

    Sim sim({"--multicast-port", "0", "--multicast-reply-port", replyPort, "--module",
             "serial=40F5849A,address=6,model=5,tcp,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    const uint16_t tcpPort = portOf(sim.endpoint("tcp"));
    const std::string group = sim.endpoint("multicast");

    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr loopback{htonl(INADDR_LOOPBACK)};
    setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(portOf(group));
    inet_pton(AF_INET, group.substr(0, group.find(':')).c_str(), &to.sin_addr);
    Bytes request(16, 0);
    request[0] = 1;
    ASSERT_EQ(sendto(sender, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to),
              16);

    Bytes reply;
    EXPECT_TRUE(
        readSome(listener, reply, std::chrono::steady_clock::now() + std::chrono::seconds(2)));
    const Bytes expected{0,
                         6,
                         static_cast<uint8_t>(tcpPort),
                         static_cast<uint8_t>(tcpPort >> 8),
                         0x9A,
                         0x84,
                         0xF5,
                         0x40,
                         0,
                         0,
                         0,
                         0,
                         5,
                         0,
                         0,
                         0};
    EXPECT_EQ(reply, expected);
    close(sender);
    close(listener);
}

// A USB session as the libusb stand-in opens it: HELLO, OPEN, READY, then
// frames in OUT_DATA and IN_DATA messages.
TEST(Zvsim, UsbDeviceServesASessionAndComesBackAsLoaderAfterLoad) {
    TempDir dir;
    Sim sim(
        {"--usb-dir", dir.path(), "--module", "serial=40F5849A,model=27,usb,hb-ms=0,restart-ms=0"});
    ASSERT_TRUE(sim.started);
    const std::string socketPath = sim.endpoint("usb");
    EXPECT_EQ(socketPath, dir.file("40F5849A.sock"));

    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    fakeusb::MessageBuffer buffer;
    fakeusb::Message m;
    ASSERT_TRUE(fakeusb::readMessage(fd, buffer, m, 1000));
    fakeusb::Hello hello;
    ASSERT_EQ(m.type, fakeusb::kHello);
    ASSERT_TRUE(hello.decode(m.payload));
    EXPECT_EQ(hello.product, 27);
    EXPECT_EQ(hello.serial, "40F5849A");
    EXPECT_EQ(hello.interfaceSubClass, 0x88);

    fakeusb::sendAll(fd, fakeusb::frame(fakeusb::kOpen), 1000);
    ASSERT_TRUE(fakeusb::readMessage(fd, buffer, m, 1000));
    EXPECT_EQ(m.type, fakeusb::kReady);
    // Two frames in one transfer, as a pooled write sends them.
    fakeusb::sendAll(fd, fakeusb::frame(fakeusb::kOutData, {0xAD, 0, kModule, 2, 0x5F, 2}), 1000);
    ASSERT_TRUE(fakeusb::readMessage(fd, buffer, m, 1000));
    EXPECT_EQ(m.payload, (Bytes{kModule, 0}));
    ASSERT_TRUE(fakeusb::readMessage(fd, buffer, m, 1000));
    EXPECT_EQ(m.payload, (Bytes{kModule, 2, 0x5F, 2}));  // LOAD answered, then the restart

    EXPECT_FALSE(fakeusb::readMessage(fd, buffer, m, 2000));  // the session ends
    close(fd);
    EXPECT_NE(sim.process.waitForLine("ready usb DEADDEAD"), "");
    struct stat st {};
    EXPECT_EQ(stat(dir.file("DEADDEAD.sock").c_str(), &st), 0);
    EXPECT_NE(stat(socketPath.c_str(), &st), 0);
}

TEST(Zvsim, RefusesBadCommandLines) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--module", "model=4,tcp"}, "needs serial"},
        {{"--module", "serial=1,address=3,tcp"}, "address must be even"},
        {{"--module", "serial=1"}, "no attachment"},
        {{"--module", "serial=2,behind=1"}, "router"},
        {{"--module", "serial=1,tcp,stall=bogus@1"}, "unknown packet kind"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{kSim};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = testsupport::run(argv, {.timeoutSeconds = 10});
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    const auto help = testsupport::run({kSim, "--help"}, {.timeoutSeconds = 10});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("corrupt-serial"), std::string::npos);
}

}  // namespace
