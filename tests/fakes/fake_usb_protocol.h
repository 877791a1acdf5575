// The Unix-socket protocol between the libusb stand-in and a simulated USB
// device (see README.md in this directory). Header-only, shared by the
// stand-in and by device peers written in C++.
#pragma once

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "aBytes.h"

namespace fakeusb {

// Device (simulator) to host (stand-in).
constexpr uint8_t kHello = 0x01;
constexpr uint8_t kInData = 0x02;
constexpr uint8_t kHalt = 0x03;
constexpr uint8_t kReady = 0x04;
constexpr uint8_t kFail = 0x05;
// Host to device.
constexpr uint8_t kOpen = 0x81;
constexpr uint8_t kOutData = 0x82;
constexpr uint8_t kClearHalt = 0x83;
constexpr uint8_t kClaim = 0x84;
constexpr uint8_t kRelease = 0x85;

// Largest value of a message's length field (type byte plus payload).
constexpr uint32_t kMaxMessage = 65536;
constexpr size_t kMaxSerial = 126;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Message {
    uint8_t type = 0;
    Bytes payload;
};

// What a device announces when a connection is accepted.
struct Hello {
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t release = 0x0100;
    uint8_t interfaceNumber = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    uint8_t inEndpoint = 0x81;  // 0: none
    uint16_t inPacketSize = 64;
    uint8_t outEndpoint = 0x01;  // 0: none
    uint16_t outPacketSize = 64;
    int8_t openError = 0;   // libusb_open fails with this when non-zero
    int8_t claimError = 0;  // libusb_claim_interface fails with this when non-zero
    std::string serial;

    Bytes encode() const {
        Bytes out(19 + serial.size());
        zv::ByteWriter w(out.data(), out.size());
        w.u16le(vendor);
        w.u16le(product);
        w.u16le(release);
        w.u8(interfaceNumber);
        w.u8(interfaceClass);
        w.u8(interfaceSubClass);
        w.u8(interfaceProtocol);
        w.u8(inEndpoint);
        w.u16le(inPacketSize);
        w.u8(outEndpoint);
        w.u16le(outPacketSize);
        w.u8(static_cast<uint8_t>(openError));
        w.u8(static_cast<uint8_t>(claimError));
        w.u8(static_cast<uint8_t>(serial.size()));
        w.bytes(serial.data(), serial.size());
        return out;
    }

    bool decode(const Bytes& payload) {
        zv::ByteReader r(payload.data(), payload.size());
        vendor = r.u16le();
        product = r.u16le();
        release = r.u16le();
        interfaceNumber = r.u8();
        interfaceClass = r.u8();
        interfaceSubClass = r.u8();
        interfaceProtocol = r.u8();
        inEndpoint = r.u8();
        inPacketSize = r.u16le();
        outEndpoint = r.u8();
        outPacketSize = r.u16le();
        openError = static_cast<int8_t>(r.u8());
        claimError = static_cast<int8_t>(r.u8());
        const size_t length = r.u8();
        const uint8_t* text = r.view(length);
        if (!r.ok() || length > kMaxSerial) return false;
        serial.assign(reinterpret_cast<const char*>(text), length);
        return true;
    }
};

// The bytes of one message on the socket: u32le length, type, payload.
inline Bytes frame(uint8_t type, const Bytes& payload = {}) {
    Bytes out(5 + payload.size());
    zv::ByteWriter w(out.data(), out.size());
    w.u32le(static_cast<uint32_t>(payload.size() + 1));
    w.u8(type);
    w.bytes(payload.data(), payload.size());
    return out;
}

// Collects received bytes and cuts them into messages.
class MessageBuffer {
  public:
    void append(const uint8_t* data, size_t size) {
        bytes_.insert(bytes_.end(), data, data + size);
    }
    // True with a message; false when none is complete. `bad` is set for a
    // length field of 0 or above kMaxMessage (the peer cannot be trusted then).
    bool next(Message& message, bool& bad) {
        zv::ByteReader r(bytes_.data(), bytes_.size());
        const uint32_t length = r.u32le();
        if (!r.ok()) return false;
        if (length == 0 || length > kMaxMessage) {
            bad = true;
            return false;
        }
        if (r.remaining() < length) return false;
        message.type = r.u8();
        const uint8_t* payload = r.view(length - 1);
        message.payload.assign(payload, payload + length - 1);
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(r.position()));
        return true;
    }

  private:
    Bytes bytes_;
};

// Reads what the socket holds into `buffer` without waiting. False when the
// peer closed the connection or it failed.
inline bool drain(int fd, MessageBuffer& buffer) {
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            buffer.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        return false;
    }
}

inline int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits up to `timeoutMs` for the next message. False on time-out, a closed
// or failed connection, or a bad message.
inline bool readMessage(int fd, MessageBuffer& buffer, Message& message, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool bad = false;
        if (buffer.next(message, bad)) return true;
        if (bad) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, msLeft(deadline)) <= 0) return false;
        if (!drain(fd, buffer)) {
            // A last message may have come with the close.
            return buffer.next(message, bad);
        }
    }
}

// Sends all bytes. Waits up to `firstByteMs` for room for the first byte;
// once a message has started it is finished within a further second.
// Returns the number of bytes sent (all of them on success).
inline size_t sendAll(int fd, const Bytes& bytes, int firstByteMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(firstByteMs);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            if (sent == 0) deadline = Clock::now() + std::chrono::seconds(1);
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        pollfd p{fd, POLLOUT, 0};
        const int left = msLeft(deadline);
        if (left == 0 || poll(&p, 1, left) <= 0) break;
    }
    return sent;
}

}  // namespace fakeusb
