// Link engine against a scripted peer: the peer is the far end of a socket
// pair (links over a ready stream) or a loopback TCP connection (TCPIP
// links), driven byte by byte by the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aDebug.h"
#include "aLink.h"
#include "aPacket.h"
#include "aStream.h"
#include "cobs.h"
#include "crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

constexpr uint8_t kModule = 0x06;
const Bytes kForceRouteOn = {0xAF, 0x01, 0x01};
const Bytes kForceRouteOff = {0xAF, 0x01, 0x00};
const Bytes kEchoFrame = {0xAD, 0x00};

Bytes frameOf(const aPacket* p) {
    Bytes frame(p->length + 2u);
    size_t count = 0;
    if (aPacket_GetBytes(p, frame.data(), frame.size(), &count) != aErrNone) return {};
    return frame;
}

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

template <typename Done>
bool eventually(Done done, milliseconds limit = milliseconds(5000)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// The device's end of a connection.
class Peer {
  public:
    explicit Peer(int fd = -1) : fd_(fd) {}
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(const Bytes& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Up to n bytes, waiting at most `limit` for them.
    Bytes read(size_t n, milliseconds limit = milliseconds(3000)) {
        Bytes got;
        const auto deadline = Clock::now() + limit;
        while (got.size() < n) {
            const long left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            uint8_t buffer[4096];
            const size_t want = std::min(n - got.size(), sizeof buffer);
            const ssize_t r = ::read(fd_, buffer, want);
            if (r <= 0) break;
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }
    // True once the other end has closed (after reading what was left).
    bool closedByLink(milliseconds limit = milliseconds(3000)) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t byte;
            if (::read(fd_, &byte, 1) <= 0) return true;
        }
        return false;
    }

  private:
    int fd_;
};

// What the link's side of a socket-pair stream did, shared with the test.
struct Probe {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<size_t> writes;  // bytes per write call
    bool gateOpen = true;        // writes wait while it is closed
    bool blocked = false;        // a write is waiting at the gate

    std::vector<size_t> writeSizes() {
        std::lock_guard<std::mutex> hold(lock);
        return writes;
    }
    void setGate(bool open) {
        std::lock_guard<std::mutex> hold(lock);
        gateOpen = open;
        changed.notify_all();
    }
    bool waitBlocked() {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, milliseconds(3000), [&] { return blocked; });
    }
};

// The link's end of a socket pair as an aStream: get waits up to 20 ms for
// a byte, like the real transports; a closed peer is an I/O error.
struct PairStream {
    int fd;
    std::shared_ptr<Probe> probe;

    static aErr get(uint8_t* byte, void* ref) {
        PairStream* s = static_cast<PairStream*>(ref);
        pollfd p{s->fd, POLLIN, 0};
        if (::poll(&p, 1, 20) == 0) return aErrNotReady;
        return ::recv(s->fd, byte, 1, 0) == 1 ? aErrNone : aErrIO;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        PairStream* s = static_cast<PairStream*>(ref);
        {
            std::unique_lock<std::mutex> hold(s->probe->lock);
            s->probe->writes.push_back(length);
            s->probe->blocked = !s->probe->gateOpen;
            s->probe->changed.notify_all();
            s->probe->changed.wait_for(hold, milliseconds(5000),
                                       [&] { return s->probe->gateOpen; });
            s->probe->blocked = false;
        }
        return ::send(s->fd, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) ? aErrNone
                                                                                         : aErrIO;
    }
    static aErr put(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }
    static aErr del(void* ref) {
        PairStream* s = static_cast<PairStream*>(ref);
        ::close(s->fd);
        delete s;
        return aErrNone;
    }
};

bool acceptAll(const aPacket*, void*) {
    return true;
}

// A link over a socket-pair stream, started; the peer has read the
// force-route frame the start sends.
class StreamLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        peer.reset(fds[1]);
        auto* state = new PairStream{fds[0], probe};
        aStreamRef stream = aStream_Create(PairStream::get, PairStream::put, PairStream::write,
                                           PairStream::del, state);
        ASSERT_NE(stream, nullptr);
        link = aLink_Create(stream);
        ASSERT_NE(link, 0);
        ASSERT_EQ(peer.read(3), kForceRouteOn);
    }
    void TearDown() override {
        probe->setGate(true);
        if (link) aLink_Destroy(&link);
    }
    // Sends an odd byte and checks the six echo frames that follow.
    void throwOutOfStep() {
        ASSERT_TRUE(peer.send({0x03}));
        Bytes echoes;
        for (int i = 0; i < 6; ++i)
            echoes.insert(echoes.end(), kEchoFrame.begin(), kEchoFrame.end());
        EXPECT_EQ(peer.read(12), echoes);
        ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link) == kLinkSyncing; }));
    }

    std::shared_ptr<Probe> probe = std::make_shared<Probe>();
    Peer peer;
    int32_t link = 0;
};

TEST_F(StreamLinkTest, ReceivedPacketsReachTheInboundFifo) {
    EXPECT_EQ(aLink_GetStatus(link), kLinkRunning);
    ASSERT_TRUE(peer.send({kModule, 3, 0x17, 0x01, 0x02}));
    PacketPtr got(aLink_AwaitFirst(link, acceptAll, nullptr, 3000));
    ASSERT_TRUE(got);
    EXPECT_EQ(frameOf(got.get()), (Bytes{kModule, 3, 0x17, 0x01, 0x02}));

    // And a packet put goes out as its frame.
    const uint8_t data[] = {0x17, 0x42};
    PacketPtr out(aPacket_CreateWithData(kModule, 2, data));
    ASSERT_EQ(aLink_PutPacket(link, out.get()), aErrNone);
    EXPECT_EQ(peer.read(4), (Bytes{kModule, 2, 0x17, 0x42}));
}

TEST_F(StreamLinkTest, HeartbeatsAreAnsweredAndNeverQueued) {
    struct Case {
        uint8_t state, answer;
    } cases[] = {{1, 3}, {0, 2}};
    for (const Case& c : cases) {
        ASSERT_TRUE(peer.send({kModule, 2, 0x00, c.state}));
        EXPECT_EQ(peer.read(4), (Bytes{kModule, 2, 0x00, c.answer})) << int(c.state);
    }
    // The first packet queued inbound is the one after the heartbeats.
    ASSERT_TRUE(peer.send({kModule, 1, 0x55}));
    PacketPtr got(aLink_AwaitPacket(link, 3000));
    ASSERT_TRUE(got);
    EXPECT_EQ(frameOf(got.get()), (Bytes{kModule, 1, 0x55}));
    EXPECT_EQ(aLink_GetPacket(link), nullptr);
}

TEST_F(StreamLinkTest, UserFilterConsumesPackets) {
    std::atomic<int> seen{0};
    auto filter = [](const aPacket* p, void* ref) {
        ++*static_cast<std::atomic<int>*>(ref);
        return p->length == 1 && p->data[0] == 0x99;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(link, filter, &seen), aErrNone);
    ASSERT_TRUE(peer.send({kModule, 1, 0x99, kModule, 1, 0x11}));
    PacketPtr got(aLink_AwaitPacket(link, 3000));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data[0], 0x11);
    EXPECT_EQ(seen, 2);
    ASSERT_EQ(aLink_InstallUserPacketFilter(link, nullptr, nullptr), aErrNone);
    ASSERT_TRUE(peer.send({kModule, 1, 0x99}));
    EXPECT_TRUE(PacketPtr(aLink_AwaitPacket(link, 3000)));
}

TEST_F(StreamLinkTest, OddAddressStartsSynchronisation) {
    throwOutOfStep();

    // While out of step, waiting for an answer gives up at once.
    const auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link, acceptAll, nullptr, 5000), nullptr);
    EXPECT_LT(msSince(start), 100);

    // Two empty frames from different addresses do not line the stream up.
    ASSERT_TRUE(peer.send({kModule, 0, 0x08, 0}));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(aLink_GetStatus(link), kLinkSyncing);

    // Two from the same even address do.
    ASSERT_TRUE(peer.send({kModule, 0, kModule, 0}));
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link) == kLinkRunning; }));
    aLink_DrainPackets(link, acceptAll, nullptr);
    peer.read(1 << 16, milliseconds(50));  // the echo frames sent meanwhile

    ASSERT_TRUE(peer.send({kModule, 1, 0x21}));
    PacketPtr got(aLink_AwaitFirst(link, acceptAll, nullptr, 3000));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data[0], 0x21);
}

TEST_F(StreamLinkTest, MalformedLengthStartsSynchronisation) {
    ASSERT_TRUE(peer.send({kModule, 29}));
    EXPECT_EQ(peer.read(2), kEchoFrame);
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link) == kLinkSyncing; }));
}

TEST_F(StreamLinkTest, AwaitFirstEndsWhenTheLinkFallsOutOfStep) {
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link, acceptAll, nullptr, 10000));
    });
    std::this_thread::sleep_for(milliseconds(30));  // let it block
    const auto start = Clock::now();
    ASSERT_TRUE(peer.send({0x03}));
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(StreamLinkTest, PooledWritesBatchUpTo4096Bytes) {
    ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);
    uint8_t data[28] = {};
    probe->setGate(false);
    // The writer takes this one alone and waits at the gate with it.
    PacketPtr first(aPacket_CreateWithData(kModule, 28, data));
    ASSERT_EQ(aLink_PutPacket(link, first.get()), aErrNone);
    ASSERT_TRUE(probe->waitBlocked());
    for (int i = 0; i < 200; ++i) {
        data[0] = static_cast<uint8_t>(i);
        PacketPtr p(aPacket_CreateWithData(kModule, 28, data));
        ASSERT_EQ(aLink_PutPacket(link, p.get()), aErrNone);
    }
    probe->setGate(true);

    const Bytes received = peer.read(30 * 201);
    ASSERT_EQ(received.size(), 30u * 201);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(received[30 * (i + 1) + 2], i);
    // Force route, the lone packet, then 136 frames (4080 bytes) and the rest.
    EXPECT_EQ(probe->writeSizes(), (std::vector<size_t>{3, 30, 4080, 1920}));
}

TEST_F(StreamLinkTest, DestroyDeliversForceRouteZeroAndClosesTheStream) {
    ASSERT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(link, 0);
    EXPECT_EQ(peer.read(3), kForceRouteOff);
    EXPECT_TRUE(peer.closedByLink());
}

TEST_F(StreamLinkTest, PeerGoneIsAnIOError) {
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link, acceptAll, nullptr, 10000));
    });
    std::this_thread::sleep_for(milliseconds(30));
    const auto start = Clock::now();
    peer.close();
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_LT(msSince(start), 1000);
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link) == kLinkIOError; }));
}

// A link over a ready stream cannot rebuild it: reset leaves it stopped
// without a stream, and it cannot be started again.
TEST_F(StreamLinkTest, ResetWithoutRecreatableStreamLeavesItStopped) {
    EXPECT_EQ(aLink_Reset(link), aErrMode);
    EXPECT_EQ(peer.read(3), kForceRouteOff);
    EXPECT_EQ(aLink_GetStatus(link), kLinkNoStream);
    EXPECT_EQ(aLink_Start(link), aErrConnection);
    EXPECT_EQ(aLink_AwaitFirst(link, acceptAll, nullptr, 1000), nullptr);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

// Debug texts go to standard output, only for the categories in the mask.
TEST_F(StreamLinkTest, DebugTextsFollowTheCategoryMask) {
    struct Case {
        bool enabled;
        uint32_t level;
        bool packetTraces, engineTraces;
    } cases[] = {{false, 0xFF, false, false}, {true, 0x02, true, false}, {true, 0x01, false, true}};
    for (const Case& c : cases) {
        aZentroviaDebuggingEnable = c.enabled;
        aZentroviaDebuggingLevel = c.level;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(peer.send({kModule, 1, 0x5A}));
        EXPECT_TRUE(PacketPtr(aLink_AwaitPacket(link, 3000)));
        ASSERT_TRUE(peer.send({0x03}));
        EXPECT_EQ(peer.read(12).size(), 12u);
        ASSERT_TRUE(peer.send({kModule, 0, kModule, 0}));
        EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link) == kLinkRunning; }));
        aZentroviaDebuggingEnable = false;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find(" sHandlePacket(") != std::string::npos, c.packetTraces) << out;
        EXPECT_EQ(out.find("syncStart") != std::string::npos, c.engineTraces) << out;
        peer.read(1 << 16, milliseconds(30));
    }
}

TEST(Link, UnregisteredIds) {
    int32_t id = 424242;
    EXPECT_EQ(aLink_Destroy(&id), aErrParam);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);

    const int32_t none = 424243;
    const uint8_t data = 1;
    PacketPtr p(aPacket_CreateWithData(kModule, 1, &data));
    EXPECT_EQ(aLink_GetStatus(none), kLinkNoStream);
    EXPECT_EQ(aLink_PutPacket(none, p.get()), aErrParam);
    EXPECT_EQ(aLink_GetPacket(none), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(none, 0), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(none, acceptAll, nullptr, 0), nullptr);
    EXPECT_EQ(aLink_DrainPackets(none, acceptAll, nullptr), 0u);
    EXPECT_EQ(aLink_Reset(none), aErrParam);
    EXPECT_EQ(aLink_Start(none), aErrParam);
    EXPECT_EQ(aLink_Sync(none), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(none, 1), aErrNotFound);
    EXPECT_EQ(aLink_InstallUserPacketFilter(none, acceptAll, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(none, true), aErrParam);
    EXPECT_EQ(aLink_Create(nullptr), 0);
}

TEST(Link, CreationRefusals) {
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 12345), 0);
    EXPECT_EQ(aLink_CreateSerial(1, nullptr, 115200), 0);
    EXPECT_EQ(aLink_CreateClient(0x0100007F, 9000, 0), 0);
    EXPECT_EQ(aLink_CreateClient(0x0100007F, 9000, 424244), 0);
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    EXPECT_EQ(aLink_CreateServer(1, &port, &networkInterface, true), 0);
}

// ---- TCPIP links over loopback ----

class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 4);
        socklen_t size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(); }
    uint16_t port() const { return port_; }
    int accept(milliseconds limit = milliseconds(3000)) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return -1;
        return ::accept(fd_, nullptr, nullptr);
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

TEST(LinkTCPIP, SameDeviceSharesOneLinkByUseCount) {
    Listener listener;
    int32_t first = aLink_CreateTCPIP(0x1234, kLoopback, listener.port());
    ASSERT_NE(first, 0);
    Peer peer(listener.accept());
    EXPECT_EQ(peer.read(3), kForceRouteOn);

    int32_t second = aLink_CreateTCPIP(0x1234, kLoopback, listener.port());
    EXPECT_EQ(second, first);
    EXPECT_EQ(listener.accept(milliseconds(50)), -1);  // no second connection

    ASSERT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(second), kLinkRunning);
    ASSERT_TRUE(peer.send({kModule, 1, 0x31}));
    EXPECT_TRUE(PacketPtr(aLink_AwaitFirst(second, acceptAll, nullptr, 3000)));

    const int32_t id = second;
    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkNoStream);
    EXPECT_EQ(peer.read(3), kForceRouteOff);
}

TEST(LinkTCPIP, DeviceGoneIsAnIOErrorAndEndsWaits) {
    auto listener = std::make_unique<Listener>();
    int32_t link = aLink_CreateTCPIP(0x5678, kLoopback, listener->port());
    ASSERT_NE(link, 0);
    Peer peer(listener->accept());
    ASSERT_EQ(peer.read(3), kForceRouteOn);

    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link, acceptAll, nullptr, 10000));
    });
    std::this_thread::sleep_for(milliseconds(30));
    const auto start = Clock::now();
    listener.reset();  // nothing to reconnect to
    peer.close();
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link) == kLinkIOError; }));
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(LinkTCPIP, ResetReconnects) {
    Listener listener;
    int32_t link = aLink_CreateTCPIP(0x9ABC, kLoopback, listener.port());
    ASSERT_NE(link, 0);
    Peer peer(listener.accept());
    ASSERT_EQ(peer.read(3), kForceRouteOn);

    ASSERT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(peer.read(3), kForceRouteOff);
    Peer again(listener.accept());
    EXPECT_EQ(again.read(3), kForceRouteOn);
    EXPECT_EQ(aLink_GetStatus(link), kLinkRunning);
    ASSERT_TRUE(again.send({kModule, 1, 0x41}));
    EXPECT_TRUE(PacketPtr(aLink_AwaitFirst(link, acceptAll, nullptr, 3000)));
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(LinkTCPIP, NothingListeningFailsCleanly) {
    uint16_t port;
    {
        Listener listener;
        port = listener.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(0xDEF0, kLoopback, port), 0);
}

// ---- serial links over a pseudo-terminal ----

// A frame as a serial link carries it: frame and CRC-8, COBS-encoded, then
// the zero delimiter.
Bytes serialBlock(Bytes frame) {
    frame.push_back(crc8_create(frame.data(), frame.size()));
    Bytes block(cobs_max_encoded_size(frame.size()));
    block.resize(cobs_encode(frame.data(), frame.size(), block.data(), block.size()));
    block.push_back(0);
    return block;
}

TEST(LinkSerial, FramesTravelCobsFramedOverAPseudoTerminal) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    Peer peer(master);
    const std::string port = ::ptsname(master);

    int32_t link = aLink_CreateSerial(0x77, port.c_str(), 115200);
    ASSERT_NE(link, 0);
    const Bytes on = serialBlock(kForceRouteOn);
    EXPECT_EQ(peer.read(on.size()), on);

    ASSERT_TRUE(peer.send(serialBlock({kModule, 2, 0x17, 0x01})));
    PacketPtr got(aLink_AwaitFirst(link, acceptAll, nullptr, 3000));
    ASSERT_TRUE(got);
    EXPECT_EQ(frameOf(got.get()), (Bytes{kModule, 2, 0x17, 0x01}));

    ASSERT_EQ(aLink_Destroy(&link), aErrNone);
    const Bytes off = serialBlock(kForceRouteOff);
    EXPECT_EQ(peer.read(off.size()), off);
}

}  // namespace
