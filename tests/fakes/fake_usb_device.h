// A simulated USB device for tests: listens on one Unix socket and speaks the
// stand-in's protocol (README.md) on a thread of its own. It records what the
// host does, can echo bulk OUT data back as IN data, and lets a test inject
// data, halts and failures. Header-only; include it from a test.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb_protocol.h"

namespace fakeusb {

class FakeUsbDevice {
  public:
    // Runs on the device thread for every bulk OUT transfer; may call send().
    using OutHandler = std::function<void(FakeUsbDevice&, const Bytes&)>;

    struct Config {
        Hello hello;
        std::vector<Message> onOpen;  // sent after OPEN, before READY
        bool echo = false;            // every OUT transfer comes back as one IN transfer
        OutHandler onOut;
    };

    FakeUsbDevice(std::string socketPath, Config config)
        : path_(std::move(socketPath)), config_(std::move(config)) {
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        unlink(path_.c_str());
        if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listen_, 8) != 0 || pipe(wake_) != 0) {
            close(listen_);
            listen_ = -1;
            return;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~FakeUsbDevice() {
        if (thread_.joinable()) {
            const char stop = 'x';
            (void)!write(wake_[1], &stop, 1);
            thread_.join();
        }
        for (auto& c : connections_) close(c.fd);
        if (listen_ >= 0) close(listen_);
        for (int fd : wake_) {
            if (fd >= 0) close(fd);
        }
        unlink(path_.c_str());
    }

    FakeUsbDevice(const FakeUsbDevice&) = delete;
    FakeUsbDevice& operator=(const FakeUsbDevice&) = delete;

    bool listening() const { return listen_ >= 0; }

    // What the host did, in order: "probe" (connected and left without
    // opening), "open", "claim N", "out N" (bytes of one OUT transfer),
    // "clear-halt 0xEP", "release N", "close" (an opened session ended).
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    // The payload of every bulk OUT transfer, in order.
    std::vector<Bytes> outTransfers() const {
        std::lock_guard<std::mutex> hold(lock_);
        return out_;
    }
    // Waits until `event` has been recorded `count` times; false when that
    // did not happen in time.
    bool waitFor(const std::string& event, size_t count = 1, int timeoutMs = 5000) const {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            return static_cast<size_t>(std::count(events_.begin(), events_.end(), event)) >= count;
        });
    }

    // Sends a message to every opened session.
    void send(uint8_t type, const Bytes& payload = {}) {
        const Bytes bytes = frame(type, payload);
        std::lock_guard<std::mutex> hold(sendLock_);
        for (int fd : sessions_) sendAll(fd, bytes, 1000);
    }

    static Message inData(const Bytes& bytes) { return {kInData, bytes}; }
    static Message halt(uint8_t endpoint) { return {kHalt, {endpoint}}; }
    static Message fail(uint8_t endpoint, int8_t error, uint8_t count) {
        return {kFail, {endpoint, static_cast<uint8_t>(error), count}};
    }

  private:
    struct Connection {
        int fd;
        bool opened;
        MessageBuffer buffer;
    };

    void record(std::string event, const Bytes* out = nullptr) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(std::move(event));
        if (out) out_.push_back(*out);
        changed_.notify_all();
    }

    static std::string hex(uint8_t v) {
        char text[8];
        snprintf(text, sizeof text, "0x%02X", v);
        return text;
    }

    void accept() {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (sendAll(fd, frame(kHello, config_.hello.encode()), 1000) == 0) {
            close(fd);
            return;
        }
        connections_.push_back({fd, false, {}});
    }

    // False when the connection ended.
    bool handle(Connection& c) {
        const bool open = drain(c.fd, c.buffer);
        Message m;
        bool bad = false;
        while (c.buffer.next(m, bad)) {
            zv::ByteReader r(m.payload.data(), m.payload.size());
            switch (m.type) {
                case kOpen: {
                    c.opened = true;
                    {
                        std::lock_guard<std::mutex> hold(sendLock_);
                        sessions_.push_back(c.fd);
                        for (const auto& early : config_.onOpen) {
                            sendAll(c.fd, frame(early.type, early.payload), 1000);
                        }
                        sendAll(c.fd, frame(kReady), 1000);
                    }
                    record("open");
                    break;
                }
                case kOutData:
                    record("out " + std::to_string(m.payload.size()), &m.payload);
                    if (config_.echo) send(kInData, m.payload);
                    if (config_.onOut) config_.onOut(*this, m.payload);
                    break;
                case kClearHalt:
                    record("clear-halt " + hex(r.u8()));
                    break;
                case kClaim:
                    record("claim " + std::to_string(r.u8()));
                    break;
                case kRelease:
                    record("release " + std::to_string(r.u8()));
                    break;
                default:
                    break;
            }
        }
        if (open && !bad) return true;
        record(c.opened ? "close" : "probe");
        std::lock_guard<std::mutex> hold(sendLock_);
        std::erase(sessions_, c.fd);
        return false;
    }

    void run() {
        for (;;) {
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
            for (const auto& c : connections_) fds.push_back({c.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
            if (fds[0].revents) return;
            if (fds[1].revents & POLLIN) accept();
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                auto& c = connections_[i - 2];
                if (!handle(c)) {
                    close(c.fd);
                    c.fd = -1;
                }
            }
            std::erase_if(connections_, [](const Connection& c) { return c.fd < 0; });
        }
    }

    std::string path_;
    Config config_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::vector<Connection> connections_;  // device thread only

    std::mutex sendLock_;
    std::vector<int> sessions_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<Bytes> out_;
};

}  // namespace fakeusb
