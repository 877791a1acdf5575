#include "unix_streamserial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <new>

#include "aFile.h"
#include "aStream_CobsEncoding.h"

namespace {

constexpr speed_t kSpeeds[aSERIAL_BAUD_INDEXES] = {B2400,  B4800,  B9600,   B19200,
                                                   B38400, B57600, B115200, B230400};
constexpr long kRates[aSERIAL_BAUD_INDEXES] = {2400,  4800,  9600,   19200,
                                               38400, 57600, 115200, 230400};

// A write may take this long beyond the time its bytes need on the line.
constexpr long kWriteSlackMs = 1000;

struct SerialState {
    int baudIndex;
    char port[aFILE_MAX_PATH];
    int descriptor;  // -1 while not open
    termios saved;
    termios applied;
    uint16_t marker;
};

SerialState* sState(void* ref) {
    SerialState* state = static_cast<SerialState*>(ref);
    return state && state->marker == aSERIAL_STREAM_MARKER ? state : nullptr;
}

bool sValidIndex(int index) {
    return index >= 0 && index < aSERIAL_BAUD_INDEXES;
}

// Milliseconds the line needs for `length` bytes of up to 12 bits each.
long sLineTimeMs(int baudIndex, size_t length) {
    const long rate = sValidIndex(baudIndex) ? kRates[baudIndex] : kRates[0];
    return static_cast<long>(length) * 12 * 1000 / rate + 1;
}

aErr sOpenError(int error) {
    switch (error) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}

void sClose(SerialState* state) {
    if (state->descriptor >= 0) close(state->descriptor);
    state->descriptor = -1;
}

aErr sStreamOpenSerial(SerialState* state, uint32_t parity, uint32_t dataBits, uint32_t stopBits) {
    // Without waiting for the line and without becoming our controlling
    // terminal. The descriptor stays non-blocking: reads never wait in the
    // driver, and writes wait for room in poll, so neither can hang.
    state->descriptor = open(state->port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (state->descriptor < 0) {
        const int error = errno;
        state->descriptor = -1;
        return sOpenError(error);
    }
    if (tcgetattr(state->descriptor, &state->saved) != 0) {
        sClose(state);
        return aErrIO;
    }
    termios t = state->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (dataBits == 1 ? CS7 : CS8) | (parity ? PARENB : 0) |
                (stopBits == 1 ? CSTOPB : 0);
    const speed_t speed = sValidIndex(state->baudIndex) ? kSpeeds[state->baudIndex] : B0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    state->applied = t;
    if (tcsetattr(state->descriptor, TCSANOW, &t) != 0 ||
        tcflush(state->descriptor, TCIOFLUSH) != 0) {
        tcsetattr(state->descriptor, TCSANOW, &state->saved);
        sClose(state);
        return aErrIO;
    }
    return aErrNone;
}

aErr sSerialStreamGet(uint8_t* byte, void* ref) {
    SerialState* state = sState(ref);
    if (!state || !byte || state->descriptor < 0) return aErrParam;
    pollfd p{state->descriptor, POLLIN, 0};
    const int ready = poll(&p, 1, aSERIAL_IDLE_WAIT_MS);
    if (ready < 0) return errno == EINTR ? aErrNotReady : aErrIO;
    if (ready == 0) return aErrNotReady;
    if (!(p.revents & POLLIN)) return aErrIO;  // hang-up or error: the port is gone

    const ssize_t n = read(state->descriptor, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return (p.revents & POLLHUP) ? aErrIO : aErrNotReady;
    return (errno == EAGAIN || errno == EINTR) ? aErrNotReady : aErrIO;
}

aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* ref) {
    SerialState* state = sState(ref);
    if (!state || !data || state->descriptor < 0) return aErrParam;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(
                                             sLineTimeMs(state->baudIndex, length) + kWriteSlackMs);
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = write(state->descriptor, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return aErrIO;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return aErrIO;
        pollfd p{state->descriptor, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return aErrIO;
    }
    // One frame at a time in the driver's queue.
    return tcdrain(state->descriptor) == 0 ? aErrNone : aErrIO;
}

aErr sSerialStreamPut(const uint8_t* byte, void* ref) {
    return sSerialStreamWrite(byte, 1, ref);
}

aErr sSerialStreamDelete(void* ref) {
    SerialState* state = sState(ref);
    if (!state) return aErrParam;
    if (state->descriptor >= 0) {
        tcsetattr(state->descriptor, TCSANOW, &state->saved);
        sClose(state);
        state->saved = termios{};
        state->applied = termios{};
    }
    state->marker = 0;
    delete state;
    return aErrNone;
}

bool sBadLineOptions(const char* port, uint32_t dataBits, uint32_t stopBits) {
    return !port || dataBits > 1 || stopBits > 1;
}

SerialState* sMakeState(const char* port, int baudIndex) {
    SerialState* state = new (std::nothrow) SerialState{};
    if (!state) return nullptr;
    state->baudIndex = baudIndex;
    strncpy(state->port, port, sizeof state->port - 1);
    state->descriptor = -1;
    state->marker = aSERIAL_STREAM_MARKER;
    return state;
}

}  // namespace

aErr aStream_CreateSerial(const char* port, int baudIndex, uint32_t parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    if (sBadLineOptions(port, dataBits, stopBits)) return aErrResource;
    SerialState* state = sMakeState(port, baudIndex);
    if (!state) return aErrResource;

    aStreamRef made = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                     sSerialStreamDelete, state);
    if (!made) {
        sSerialStreamDelete(state);
        return aErrResource;
    }
    const aErr err = sStreamOpenSerial(state, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&made);
        return err;
    }
    *stream = made;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* port, int baudIndex, uint32_t parity,
                                     uint32_t dataBits, uint32_t stopBits, aStreamRef* stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    if (sBadLineOptions(port, dataBits, stopBits)) return aErrResource;
    SerialState* state = sMakeState(port, baudIndex);
    if (!state) return aErrResource;

    aErr err = sStreamOpenSerial(state, parity, dataBits, stopBits);
    if (err == aErrNone) {
        err = aStream_CreateCobsEncoding(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                         sSerialStreamDelete, state, stream);
    }
    if (err != aErrNone) sSerialStreamDelete(state);
    return err;
}
