// The protocol floor of a firmware update: the same exchange sequence the
// updater performs (INIT, loader blocks, LOAD and the restart, then every
// firmware block in device-sized chunks with SUM and WRITE, then REBOOT),
// made by one thread with blocking I/O straight on the attachment: a TCP
// socket to the module, or libusb bulk transfers (the stand-in preloaded).
// No link engine, no threads, no queues: the cost of the protocol itself.
//
// Usage: bench_update_floor (--tcp ADDRESS:PORT | --usb SERIAL) --package FILE
//                           [--uei] [--serial HEX]
// Prints "floor: N payload bytes in M ms" for the firmware phase.
#include <arpa/inet.h>
#include <libusb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BirdFile.h"
#include "UpgradeMessages.h"
#include "aBytes.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 2;
constexpr uint8_t kAddressEcho = 0xAD;
constexpr int kReplyWaitMs = 2000;
constexpr int kRestartWaitMs = 10000;
constexpr uint32_t kBlankSerial = 0xDEADDEAD;
// UEI bytes: set request of option 10, index 0, up to 24 bytes a packet.
constexpr uint8_t kUeiSet = 0x80;
constexpr uint8_t kUeiSetReply = 0xC0;
constexpr uint8_t kUeiRequest = 0x20;
constexpr uint8_t kUeiError = 0x80;
constexpr size_t kUeiChunk = 24;
constexpr uint8_t kUeiContinue = 0x80;
// USB writes are cut like the library cuts them, below the packet size.
constexpr size_t kUsbWriteLimit = 511;
constexpr unsigned kResendLimit = 8;

struct Frame {
    uint8_t address = 0;
    uint8_t length = 0;
    uint8_t data[28] = {};
};

// Blocking frame transport to one module.
class Attachment {
  public:
    virtual ~Attachment() = default;
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool write(const uint8_t* bytes, size_t length) = 0;
    // Appends what arrives within the wait; false on time-out or failure.
    virtual bool read(std::vector<uint8_t>& into, int timeoutMs) = 0;

    // The next frame; false when none came in time.
    bool receive(Frame& frame, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            zv::ByteReader r(pending_.data(), pending_.size());
            frame.address = r.u8();
            frame.length = r.u8();
            if (r.ok() && frame.length <= sizeof frame.data && r.bytes(frame.data, frame.length)) {
                pending_.erase(pending_.begin(),
                               pending_.begin() + static_cast<long>(r.position()));
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !read(pending_, static_cast<int>(left.count()))) return false;
        }
    }
    void forget() { pending_.clear(); }

  private:
    std::vector<uint8_t> pending_;
};

class TcpAttachment : public Attachment {
  public:
    TcpAttachment(uint32_t address, uint16_t port) : address_(address), port_(port) {}
    ~TcpAttachment() override { close(); }
    bool open() override {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = address_;
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        forget();
    }
    bool write(const uint8_t* bytes, size_t length) override {
        while (length > 0) {
            const ssize_t n = send(fd_, bytes, length, MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }
    bool read(std::vector<uint8_t>& into, int timeoutMs) override {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        uint8_t buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        into.insert(into.end(), buffer, buffer + n);
        return true;
    }

  private:
    uint32_t address_;
    uint16_t port_;
    int fd_ = -1;
};

class UsbAttachment : public Attachment {
  public:
    explicit UsbAttachment(uint32_t serial) : serial_(serial) { libusb_init(&context_); }
    ~UsbAttachment() override {
        close();
        if (context_) libusb_exit(context_);
    }
    // Opens the module under its serial number or, as its loader, the blank one.
    bool open() override {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context_, &list);
        for (ssize_t i = 0; i < n && !handle_; ++i) {
            libusb_device_descriptor d{};
            libusb_device_handle* h = nullptr;
            if (libusb_get_device_descriptor(list[i], &d) != 0 || libusb_open(list[i], &h) != 0)
                continue;
            unsigned char text[32] = {};
            const int length =
                libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text - 1);
            const uint32_t serial =
                length > 0
                    ? static_cast<uint32_t>(strtoul(reinterpret_cast<char*>(text), nullptr, 16))
                    : 0;
            if ((serial == serial_ || serial == kBlankSerial) && endpoints(list[i]) &&
                libusb_claim_interface(h, 0) == 0)
                handle_ = h;
            else
                libusb_close(h);
        }
        if (list) libusb_free_device_list(list, 1);
        return handle_ != nullptr;
    }
    void close() override {
        if (handle_) {
            libusb_release_interface(handle_, 0);
            libusb_close(handle_);
        }
        handle_ = nullptr;
        forget();
    }
    bool write(const uint8_t* bytes, size_t length) override {
        while (length > 0) {
            const int part = static_cast<int>(length < kUsbWriteLimit ? length : kUsbWriteLimit);
            int sent = 0;
            if (libusb_bulk_transfer(handle_, out_, const_cast<uint8_t*>(bytes), part, &sent,
                                     1000) != 0 ||
                sent != part)
                return false;
            bytes += part;
            length -= static_cast<size_t>(part);
        }
        return true;
    }
    bool read(std::vector<uint8_t>& into, int timeoutMs) override {
        uint8_t buffer[1024];
        int got = 0;
        const int rc = libusb_bulk_transfer(handle_, in_, buffer, sizeof buffer, &got,
                                            static_cast<unsigned>(timeoutMs));
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) return false;
        into.insert(into.end(), buffer, buffer + got);
        return got > 0;
    }

  private:
    bool endpoints(libusb_device* device) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
        bool found = false;
        if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
            const libusb_interface_descriptor& i = config->interface[0].altsetting[0];
            for (int e = 0; e < i.bNumEndpoints; ++e) {
                const uint8_t a = i.endpoint[e].bEndpointAddress;
                if (a & LIBUSB_ENDPOINT_IN)
                    in_ = a;
                else
                    out_ = a;
            }
            found = in_ && out_;
        }
        libusb_free_config_descriptor(config);
        return found;
    }

    uint32_t serial_;
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    uint8_t in_ = 0, out_ = 0;
};

// Request/reply on the attachment.
class Exchange {
  public:
    explicit Exchange(Attachment& link) : link_(link) {}

    bool send(uint8_t command, const uint8_t* data, uint8_t length, uint8_t address = kModule) {
        uint8_t frame[30];
        zv::ByteWriter w(frame, sizeof frame);
        w.u8(address);
        w.u8(static_cast<uint8_t>(length + (command ? 1 : 0)));
        if (command) w.u8(command);
        w.bytes(data, length);
        return w.ok() && link_.write(frame, w.position());
    }
    bool request(const upgrade::Request& r) { return send(upgrade::kCommand, r.bytes, r.length); }
    // The first frame whose data starts with the two bytes; others are skipped.
    bool await(uint8_t first, uint8_t second, Frame& reply, int timeoutMs = kReplyWaitMs) {
        while (link_.receive(reply, timeoutMs))
            if (reply.length >= 2 && reply.data[0] == first && reply.data[1] == second) return true;
        return false;
    }
    bool await(upgrade::Option option, Frame& reply) {
        const upgrade::Match m = upgrade::ReplyMatch(option);
        return await(m.bytes[0], m.bytes[1], reply);
    }
    // Sends a write of many frames in one go, as pooled packets go out.
    bool sendPooled(const std::vector<uint8_t>& frames) {
        return link_.write(frames.data(), frames.size());
    }
    // The module answers the link-level address echo.
    bool answersEcho(int timeoutMs) {
        Frame reply;
        if (!send(0, nullptr, 0, kAddressEcho)) return false;
        while (link_.receive(reply, timeoutMs))
            if (reply.length == 0) return true;
        return false;
    }

  private:
    Attachment& link_;
};

bool sendData(Exchange& x, const uint8_t* data, size_t length, uint32_t& sum) {
    Frame reply;
    unsigned resends = 0;
    for (size_t done = 0; done < length;) {
        const size_t chunk = std::min(length - done, upgrade::kMaxDataChunk);
        upgrade::Request r;
        if (!upgrade::DataRequest(data + done, chunk, r) || !x.request(r) ||
            !x.await(upgrade::kData, reply))
            return false;
        uint8_t taken = 0;
        if (!upgrade::ParseDataReply(reply.data, reply.length, taken) || taken != chunk) {
            if (++resends > kResendLimit) return false;
            continue;
        }
        resends = 0;
        sum = upgrade::AddToSum(sum, data + done, chunk);
        done += chunk;
    }
    return true;
}

bool sendUei(Exchange& x, const uint8_t* data, size_t length, uint32_t& sum) {
    std::vector<uint8_t> frames;
    uint8_t sequence = 0;
    for (size_t done = 0; done < length;) {
        const size_t chunk = std::min(length - done, kUeiChunk);
        const bool more = done + chunk < length;
        uint8_t frame[32];
        zv::ByteWriter w(frame, sizeof frame);
        w.u8(kModule);
        w.u8(static_cast<uint8_t>(chunk + 4));
        w.u8(upgrade::kCommand);
        w.u8(static_cast<uint8_t>(upgrade::kDataUEI | kUeiSet));
        w.u8(kUeiRequest);
        w.bytes(data + done, chunk);
        w.u8(static_cast<uint8_t>((sequence & 0x7F) | (more ? kUeiContinue : 0)));
        frames.insert(frames.end(), frame, frame + w.position());
        ++sequence;
        done += chunk;
    }
    Frame reply;
    if (!x.sendPooled(frames) ||
        !x.await(upgrade::kCommand, upgrade::kDataUEI | kUeiSetReply, reply) || reply.length < 3 ||
        (reply.data[2] & kUeiError))
        return false;
    sum = upgrade::AddToSum(sum, data, length);
    return true;
}

bool checkSum(Exchange& x, uint32_t sum) {
    Frame reply;
    uint8_t status = 0;
    uint32_t deviceSum = 0;
    return x.request(upgrade::SumRequest()) && x.await(upgrade::kSum, reply) &&
           upgrade::ParseSumReply(reply.data, reply.length, status, deviceSum) && status == 0 &&
           deviceSum == sum;
}

bool prepare(Exchange& x, const BirdBlock& block, uint16_t& size) {
    Frame reply;
    uint8_t status = 0;
    return x.request(upgrade::PrepareRequest(block.flags, block.address)) &&
           x.await(upgrade::kPrepare, reply) &&
           upgrade::ParsePrepareReply(reply.data, reply.length, status, size) && status == 0;
}

bool reopenAfterRestart(Attachment& link, Exchange& x) {
    link.close();
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRestartWaitMs);
    while (Clock::now() < deadline) {
        if (link.open() && x.answersEcho(200)) return true;
        link.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int fail(const char* step) {
    std::fprintf(stderr, "floor: %s failed\n", step);
    return 1;
}

int runFloor(Attachment& link, BirdFile& package, bool uei) {
    Exchange x(link);
    Frame reply;
    if (!link.open()) return fail("opening the module");
    if (!x.request(upgrade::InitRequest()) || !x.await(upgrade::kInit, reply)) return fail("INIT");
    for (const BirdBlock& block : package.FindBlocks(BirdFile::BLOCK_LOADER)) {
        if (block.length < upgrade::kBlockAddressSize) return fail("loader block");
        uint16_t size = 0;
        uint32_t sum = 0;
        if (!prepare(x, block, size) || !sendData(x, block.data + 4, block.length - 4, sum) ||
            !checkSum(x, sum))
            return fail("loader block");
    }
    if (!x.request(upgrade::LoadRequest()) || !x.await(upgrade::kLoad, reply)) return fail("LOAD");
    if (!reopenAfterRestart(link, x)) return fail("finding the loader");

    const auto start = Clock::now();
    size_t payload = 0;
    for (const BirdBlock& block : package.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        if (block.length < upgrade::kBlockAddressSize) return fail("firmware block");
        uint16_t size = 0;
        if (!prepare(x, block, size) || size == 0) return fail("PREPARE");
        const uint8_t* data = block.data + 4;
        size_t remaining = block.length - 4;
        while (remaining > 0) {
            const size_t chunk = std::min<size_t>(remaining, size);
            uint32_t sum = 0;
            const bool sent = uei ? sendUei(x, data, chunk, sum) : sendData(x, data, chunk, sum);
            uint8_t status = 1;
            if (!sent || !checkSum(x, sum) ||
                !x.request(upgrade::WriteRequest(static_cast<uint32_t>(chunk))) ||
                !x.await(upgrade::kWrite, reply) ||
                !upgrade::ParseStatus(reply.data, reply.length, status) || status != 0)
                return fail("firmware chunk");
            data += chunk;
            remaining -= chunk;
            payload += chunk;
        }
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    x.request(upgrade::RebootRequest());
    std::printf("floor: %zu payload bytes in %lld ms\n", payload,
                static_cast<long long>(ms.count()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tcp, usb, path;
    bool uei = false;
    uint32_t serial = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--tcp" && hasValue)
            tcp = argv[++i];
        else if (a == "--usb" && hasValue)
            usb = argv[++i];
        else if (a == "--package" && hasValue)
            path = argv[++i];
        else if (a == "--serial" && hasValue)
            serial = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 16));
        else if (a == "--uei")
            uei = true;
        else {
            std::fprintf(stderr,
                         "usage: %s (--tcp ADDRESS:PORT | --usb SERIAL) --package FILE [--uei] "
                         "[--serial HEX]\n",
                         argv[0]);
            return 2;
        }
    }
    BirdFile package;
    if (path.empty() || !package.Load(path.c_str()) || !package.PackageProblems().empty())
        return fail("loading the package");
    std::unique_ptr<Attachment> link;
    if (!tcp.empty()) {
        const size_t colon = tcp.rfind(':');
        in_addr address{};
        if (colon == std::string::npos ||
            inet_pton(AF_INET, tcp.substr(0, colon).c_str(), &address) != 1)
            return fail("reading the address");
        link = std::make_unique<TcpAttachment>(
            address.s_addr, static_cast<uint16_t>(std::stoi(tcp.substr(colon + 1))));
    } else if (!usb.empty()) {
        const uint32_t device = static_cast<uint32_t>(strtoul(usb.c_str(), nullptr, 16));
        link = std::make_unique<UsbAttachment>(device);
        if (serial == 0) serial = device;
    } else {
        return fail("choosing an attachment");
    }
    if (serial && package.HasSerialNumberBlock()) package.ReplaceSerialNumber(serial);
    return runFloor(*link, package, uei);
}
