#include "aStreamsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr int kWriteAttempts = 10;
constexpr int kRetryPauseMs = 60;
constexpr auto kClosePause = std::chrono::milliseconds(10);

// The reader and the writer may both find the connection gone and reconnect.
// The descriptor number stays the same for the stream's whole life (a new
// socket is put in place with dup3), so neither side ever works on a number
// the other has closed; reconnections are serialised by `connectLock`, and
// `generation` lets the second side see that the first already reconnected.
struct SocketState {
    uint16_t port = 0;
    sockaddr_in address{};
    int descriptor = -1;
    std::atomic<bool> connected{false};
    std::atomic<uint32_t> generation{0};
    // A reconnection is unproven until a byte arrives over it.
    std::atomic<bool> unproven{false};
    std::mutex connectLock;
    uint16_t marker = 0;
    // Bytes received but not yet handed out; touched by the reading side
    // only. One recv fills it, so a burst costs one system call, not three
    // per byte.
    uint8_t received[512];
    size_t receivedAt = 0;
    size_t receivedCount = 0;
    uint32_t receivedGeneration = 0;
};

SocketState* sState(void* ref) {
    SocketState* state = static_cast<SocketState*>(ref);
    return state && state->marker == aSOCKET_STREAM_MARKER ? state : nullptr;
}

aErr sConnectError(int error) {
    switch (error) {
        case ECONNRESET:
        case ETIMEDOUT:
        case ECONNREFUSED:
            return aErrConnection;
        default:
            return aErrIO;
    }
}

bool sLostConnection(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

// Waits for `events` on the descriptor; false when the time ran out.
bool sWait(int descriptor, short events, int milliseconds, short* revents = nullptr) {
    pollfd p{descriptor, events, 0};
    int n;
    do {
        n = poll(&p, 1, milliseconds);
    } while (n < 0 && errno == EINTR);
    if (revents) *revents = p.revents;
    return n > 0;
}

aErr sSetOptions(int descriptor) {
    const int on = 1;
    const timeval noTimeout{0, 0};
    const linger abortive{1, 0};  // closing resets the connection at once
    if (setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
        setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0) {
        return aErrIO;
    }
    return aErrNone;
}

aErr sConnect(int descriptor, const sockaddr_in& address) {
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return aErrNone;
    }
    if (errno != EINPROGRESS) return sConnectError(errno);
    if (!sWait(descriptor, POLLOUT, aSOCKET_CONNECT_TIMEOUT_MS)) return aErrConnection;
    int pending = 0;
    socklen_t size = sizeof pending;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return aErrIO;
    return pending == 0 ? aErrNone : sConnectError(pending);
}

aErr sMakeConnection(SocketState* state) {
    const int fresh = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fresh < 0) return aErrIO;
    if (state->descriptor < 0) {
        state->descriptor = fresh;
    } else {
        // Drops the old connection (abortively, by its linger option) and
        // puts the new socket under the same number.
        const int placed = dup3(fresh, state->descriptor, O_CLOEXEC);
        close(fresh);
        if (placed < 0) return aErrIO;
        std::this_thread::sleep_for(kClosePause);
    }

    const aErr err = sConnect(state->descriptor, state->address);
    if (err != aErrNone) return err;
    return sSetOptions(state->descriptor);
}

// Makes a fresh connection; the caller holds connectLock (or owns the state
// alone, at creation). The generation moves on only once the new socket is
// in place, so a side that saw the old one never reconnects a second time.
aErr sSocketStreamReset(SocketState* state) {
    if (!state) return aErrInitialization;
    state->connected = false;
    const aErr err = sMakeConnection(state);
    state->connected = err == aErrNone;
    ++state->generation;
    return err;
}

// True while connected; waits out a reconnection the other side is making.
bool sConnected(SocketState* state) {
    if (state->connected) return true;
    std::lock_guard<std::mutex> lock(state->connectLock);
    return state->connected;
}

// Reconnects unless the other side already did since `seen` was read. A
// reconnection lost before anything arrived over it ends the stream: a
// restarting module accepts and drops connections until it is back, and
// the link above must see that loss rather than a connection that looks
// alive again.
aErr sReconnect(SocketState* state, uint32_t seen) {
    std::lock_guard<std::mutex> lock(state->connectLock);
    if (state->generation != seen) return state->connected ? aErrNone : aErrConnection;
    if (state->unproven) {
        state->connected = false;
        return aErrConnection;
    }
    const aErr err = sSocketStreamReset(state);
    state->unproven = err == aErrNone;
    return err;
}

bool sWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

aErr sSocketStreamGet(uint8_t* byte, void* ref) {
    SocketState* state = sState(ref);
    if (!state || !byte) return aErrParam;
    if (state->receivedAt < state->receivedCount && state->receivedGeneration == state->generation) {
        *byte = state->received[state->receivedAt++];
        return aErrNone;
    }
    state->receivedAt = state->receivedCount = 0;
    if (!sConnected(state)) return aErrConnection;
    const uint32_t seen = state->generation;

    ssize_t count = recv(state->descriptor, state->received, sizeof state->received, MSG_DONTWAIT);
    if (count < 0 && sWouldBlock(errno)) {
        if (!sWait(state->descriptor, POLLIN, aSOCKET_IDLE_WAIT_MS)) return aErrNotReady;
        count = recv(state->descriptor, state->received, sizeof state->received, MSG_DONTWAIT);
        if (count < 0 && sWouldBlock(errno)) return aErrNotReady;
    }
    if (count < 0 && !sLostConnection(errno)) return aErrConnection;
    if (count <= 0) {
        // Lost, or closed by the peer (a rebooting module closes its end).
        state->connected = false;
        const aErr err = sReconnect(state, seen);
        return err == aErrNone ? aErrNotReady : err;
    }
    // Swapped under us by a reconnection: these bytes belong to the old one.
    if (state->generation != seen) return aErrNotReady;
    if (state->unproven) state->unproven = false;
    state->receivedGeneration = seen;
    state->receivedCount = static_cast<size_t>(count);
    state->receivedAt = 1;
    *byte = state->received[0];
    return aErrNone;
}

aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* ref) {
    SocketState* state = sState(ref);
    if (!state || !data) return aErrParam;
    if (!sConnected(state)) return aErrConnection;

    size_t sent = 0;
    int attempts = 0;
    while (sent < length) {
        if (attempts >= kWriteAttempts) return aErrWrite;
        const uint32_t seen = state->generation;
        const ssize_t n =
            send(state->descriptor, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            if (sent == length) break;
            attempts = 1;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            ++attempts;
        } else if (n < 0 && sLostConnection(errno)) {
            state->connected = false;
            const aErr err = sReconnect(state, seen);
            if (err != aErrNone) return err;
            ++attempts;
        } else {
            return aErrIO;
        }
        // Resume as soon as there is room again, at the latest after the pause.
        sWait(state->descriptor, POLLOUT, kRetryPauseMs);
    }
    return aErrNone;
}

aErr sSocketStreamPut(const uint8_t* byte, void* ref) {
    return sSocketStreamWrite(byte, 1, ref);
}

aErr sSocketStreamDelete(void* ref) {
    SocketState* state = sState(ref);
    if (!state) return aErrIO;
    if (state->descriptor >= 0) {
        close(state->descriptor);
        std::this_thread::sleep_for(kClosePause);
    }
    state->marker = 0;
    delete state;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    SocketState* state = new (std::nothrow) SocketState;
    if (!state) return aErrResource;
    state->port = port;
    state->address.sin_family = AF_INET;
    state->address.sin_port = htons(port);
    state->address.sin_addr.s_addr = address;
    state->marker = aSOCKET_STREAM_MARKER;

    aStreamRef made = nullptr;
    if (sSocketStreamReset(state) == aErrNone) {
        made = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                              sSocketStreamDelete, state);
    }
    if (!made) {
        sSocketStreamDelete(state);
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}
