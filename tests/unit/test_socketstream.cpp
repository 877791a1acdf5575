#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "aStream.h"
#include "aStreamsocket.h"

namespace {

using Clock = std::chrono::steady_clock;

int elapsedMs(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A TCP listener on a free loopback port, standing in for a network module.
class Listener {
  public:
    explicit Listener(int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4);
        socklen_t size = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        closeListening();
        for (int c : connections_) close(c);
    }
    uint16_t port() const { return port_; }
    // The next connection, or -1 when none came in time.
    int accept(int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return -1;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) connections_.push_back(c);
        return c;
    }
    void closeListening() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> connections_;
};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Reads until a byte arrives or the stream reports something other than
// aErrNotReady, within a bounded number of tries.
aErr getByte(aStreamRef stream, uint8_t* byte) {
    aErr err = aErrNotReady;
    for (int i = 0; i < 200 && err == aErrNotReady; ++i) err = aStream_Read(stream, byte, 1);
    return err;
}

std::string receive(int fd, size_t size) {
    std::string out;
    while (out.size() < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        char buffer[256];
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, size - out.size()), 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// Destroys the stream when the test ends, however it ends.
struct StreamGuard {
    aStreamRef stream = nullptr;
    ~StreamGuard() {
        if (stream) aStream_Destroy(&stream);
    }
};

}  // namespace

TEST(SocketStream, CarriesBytesBothWays) {
    Listener module;
    StreamGuard s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, module.port(), &s.stream), aErrNone);
    const int peer = module.accept();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(aStream_Write(s.stream, "\x02\x01\x17", 3), aErrNone);
    EXPECT_EQ(aStream_Write(s.stream, "!", 1), aErrNone);
    EXPECT_EQ(receive(peer, 4), "\x02\x01\x17!");

    ASSERT_EQ(send(peer, "ok", 2, 0), 2);
    uint8_t byte = 0;
    ASSERT_EQ(getByte(s.stream, &byte), aErrNone);
    EXPECT_EQ(byte, 'o');
    ASSERT_EQ(getByte(s.stream, &byte), aErrNone);
    EXPECT_EQ(byte, 'k');
    EXPECT_EQ(aStream_Destroy(&s.stream), aErrNone);
}

TEST(SocketStream, NoListenerGivesResource) {
    uint16_t port;
    {
        Listener gone;
        port = gone.port();
    }
    aStreamRef stream = reinterpret_cast<aStreamRef>(&port);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, nullptr), aErrResource);
}

TEST(SocketStream, IdleGetReturnsPromptly) {
    Listener module;
    StreamGuard s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, module.port(), &s.stream), aErrNone);
    ASSERT_GE(module.accept(), 0);
    uint8_t byte;
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrNotReady);
    const int ms = elapsedMs(start);
    EXPECT_LT(ms, 5 * aSOCKET_IDLE_WAIT_MS + 200) << "prompt";
    EXPECT_GE(ms, 5 * aSOCKET_IDLE_WAIT_MS - 5) << "an idle reader sleeps instead of spinning";
}

TEST(SocketStream, DroppedConnectionIsReconnected) {
    Listener module;
    StreamGuard s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, module.port(), &s.stream), aErrNone);
    const int first = module.accept();
    ASSERT_GE(first, 0);
    close(first);  // the module drops us but still listens

    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrNotReady) << "the reconnection is transparent";
    const int second = module.accept();
    ASSERT_GE(second, 0) << "the stream connected again";
    ASSERT_EQ(send(second, "z", 1, 0), 1);
    ASSERT_EQ(getByte(s.stream, &byte), aErrNone);
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(aStream_Write(s.stream, "back", 4), aErrNone);
    EXPECT_EQ(receive(second, 4), "back");
}

TEST(SocketStream, ClosedPeerIsNoticed) {
    Listener module;
    StreamGuard s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, module.port(), &s.stream), aErrNone);
    const int peer = module.accept();
    ASSERT_GE(peer, 0);
    // A rebooting module closes its end and takes a while to listen again.
    module.closeListening();
    close(peer);

    uint8_t byte;
    const auto start = Clock::now();
    EXPECT_EQ(getByte(s.stream, &byte), aErrConnection);
    EXPECT_LT(elapsedMs(start), 1000);
    EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrConnection) << "and stays gone";
    EXPECT_EQ(aStream_Write(s.stream, "x", 1), aErrConnection);
}

TEST(SocketStream, WriteThatCannotFinishReportsAnError) {
    Listener module(4096);
    StreamGuard s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, module.port(), &s.stream), aErrNone);
    ASSERT_GE(module.accept(), 0);  // ...and never reads
    const std::vector<uint8_t> block(1 << 20, 0x55);
    aErr err = aErrNone;
    const auto start = Clock::now();
    for (int i = 0; i < 64 && err == aErrNone; ++i)
        err = aStream_Write(s.stream, block.data(), block.size());
    EXPECT_EQ(err, aErrWrite);
    EXPECT_LT(elapsedMs(start), 5000);
}

TEST(SocketStream, ReaderAndWriterShareOneReconnection) {
    Listener module;
    StreamGuard s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, module.port(), &s.stream), aErrNone);
    const int first = module.accept();
    ASSERT_GE(first, 0);

    // As in a link: one thread only reads, the other only writes.
    std::atomic<bool> stop{false};
    std::atomic<int> writeErrors{0};
    std::thread writer([&] {
        while (!stop) {
            if (aStream_Write(s.stream, "w", 1) != aErrNone) ++writeErrors;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    aErr readResult = aErrNotReady;
    uint8_t byte = 0;
    std::thread reader([&] {
        for (int i = 0; i < 400 && (readResult == aErrNotReady || byte != 'z'); ++i) {
            readResult = aStream_Read(s.stream, &byte, 1);
        }
    });

    close(first);
    const int second = module.accept();
    if (second >= 0) {
        send(second, "z", 1, 0);
    }
    reader.join();
    const std::string written = second >= 0 ? receive(second, 1) : "";
    stop = true;
    writer.join();

    ASSERT_GE(second, 0);
    EXPECT_EQ(readResult, aErrNone);
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(written, "w") << "the writer goes on over the new connection";
    EXPECT_EQ(writeErrors, 0);
    EXPECT_LT(module.accept(200), 0) << "both sides noticed, only one reconnected";
}
