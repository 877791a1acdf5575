#include "attach_usb.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aDefs.h"
#include "fake_usb_protocol.h"
#include "fd_output.h"
#include "log.h"

namespace zvsim {
namespace {

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;
constexpr uint16_t kHighSpeedPacket = 512;
constexpr int8_t kLibusbBusy = -6;

}  // namespace

class UsbAttachment::UsbSession : public Connection {
  public:
    UsbSession(UsbAttachment& owner, int fd) : owner_(owner), fd_(fd) {}
    ~UsbSession() override {
        if (fd_ >= 0) close(fd_);
    }

    void start(int8_t claimError) {
        fakeusb::Hello hello;
        hello.vendor = aZENTROVIA_USB_VENDOR_ID;
        hello.product = owner_.module_.model.config().model;  // bit 15 clear: a family device
        hello.inEndpoint = kInEndpoint;
        hello.inPacketSize = kHighSpeedPacket;
        hello.outEndpoint = kOutEndpoint;
        hello.outPacketSize = kHighSpeedPacket;
        hello.claimError = claimError;
        hello.serial = serialText(owner_.module_.model.serial());
        output_.write(fd_, fakeusb::frame(fakeusb::kHello, hello.encode()));
        owner_.sim_.loop().watch(fd_, POLLIN, [this](short revents) { onEvents(revents); });
        updateEvents();
    }

    void send(const Frame& frame) override {
        if (fd_ < 0) return;
        if (!output_.write(fd_, fakeusb::frame(fakeusb::kInData, encodeFrame(frame))))
            return drop();
        updateEvents();
    }

    // Ends the session: the host's transfers fail from now on (a restart
    // also removes the socket, so the device leaves the bus).
    void drop() override {
        if (fd_ < 0) return;
        owner_.sim_.loop().unwatch(fd_);
        close(fd_);
        fd_ = -1;
        if (opened_) owner_.sim_.removeConnection(id());
        owner_.bury(this);
    }

    std::string describe() const override { return "usb session on " + owner_.socketPath_; }
    bool claimed() const { return claimed_; }
    // Takes in what the host has sent so far without waiting.
    void pump() {
        if (fd_ >= 0) onEvents(POLLIN);
    }

  private:
    void updateEvents() {
        if (fd_ >= 0)
            owner_.sim_.loop().setEvents(fd_, output_.pending() ? POLLIN | POLLOUT : POLLIN);
    }

    void onEvents(short revents) {
        if ((revents & POLLOUT) && !output_.flush(fd_)) return drop();
        updateEvents();
        if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
        uint8_t chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) return drop();  // a probe, or the end of a session
        messages_.append(chunk, static_cast<size_t>(n));
        fakeusb::Message m;
        bool bad = false;
        while (fd_ >= 0 && messages_.next(m, bad)) handle(m);
        if (bad) drop();
    }

    void handle(const fakeusb::Message& m) {
        zv::ByteReader r(m.payload.data(), m.payload.size());
        switch (m.type) {
            case fakeusb::kOpen:
                if (!opened_) setId(owner_.sim_.addConnection(*this, owner_.module_));
                opened_ = true;
                output_.write(fd_, fakeusb::frame(fakeusb::kReady));
                updateEvents();
                break;
            case fakeusb::kClaim:
                claimed_ = true;
                break;
            case fakeusb::kRelease:
                claimed_ = false;
                break;
            case fakeusb::kOutData:
                if (opened_) transfer(m.payload);
                break;
            default:  // halts cleared: the simulated endpoints never stall
                break;
        }
    }

    void transfer(const fakeusb::Bytes& bytes) {
        std::vector<Frame> frames;
        parser_.feed(bytes.data(), bytes.size(), frames);
        if (frames.size() > 1) owner_.module_.model.countPacket("multi-frame-transfer");
        for (const Frame& f : frames) {
            if (fd_ < 0) break;  // a frame cut the link
            owner_.sim_.deliver(id(), f);
        }
    }

    UsbAttachment& owner_;
    int fd_;
    bool opened_ = false;
    bool claimed_ = false;
    fakeusb::MessageBuffer messages_;
    RawFrameParser parser_;
    FdOutput output_;
};

UsbAttachment::UsbAttachment(Simulator& sim, SimModule& module) : sim_(sim), module_(module) {}

UsbAttachment::~UsbAttachment() {
    unplug();
    sim_.loop().cancel(reaper_);
}

bool UsbAttachment::open(std::string& error) {
    return plug(error);
}

bool UsbAttachment::plug(std::string& error) {
    socketPath_ = sim_.config().usbDir + "/" + serialText(module_.model.serial()) + ".sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        error = "usb socket path too long: " + socketPath_;
        return false;
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    unlink(socketPath_.c_str());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0) {
        error = "usb socket " + socketPath_ + ": " + std::strerror(errno);
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
        return false;
    }
    sim_.loop().watch(listener_, POLLIN, [this](short) { onAccept(); });
    sim_.announce("ready usb " + serialText(module_.model.serial()) + " " + socketPath_);
    return true;
}

void UsbAttachment::unplug() {
    if (listener_ >= 0) {
        sim_.loop().unwatch(listener_);
        close(listener_);
        unlink(socketPath_.c_str());
        listener_ = -1;
    }
    while (!sessions_.empty()) sessions_.back()->drop();
}

void UsbAttachment::bury(UsbSession* session) {
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [&](const auto& s) { return s.get() == session; });
    if (it == sessions_.end()) return;
    closed_.push_back(std::move(*it));
    sessions_.erase(it);
    if (reaper_ == 0) {
        reaper_ = sim_.loop().after(0, [this] {
            reaper_ = 0;
            closed_.clear();
        });
    }
}

bool UsbAttachment::claimedByOther(const UsbSession* session) const {
    return std::any_of(sessions_.begin(), sessions_.end(),
                       [&](const auto& s) { return s.get() != session && s->claimed(); });
}

void UsbAttachment::onAccept() {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // With busy set, a host that finds the interface claimed by another
    // session is refused at its claim, as the kernel refuses a second user.
    // A claim may still wait unread on a session; take it in first.
    std::vector<UsbSession*> open;
    for (const auto& s : sessions_) open.push_back(s.get());
    for (UsbSession* s : open) s->pump();
    const int8_t claimError =
        module_.model.config().busy && claimedByOther(nullptr) ? kLibusbBusy : 0;
    sessions_.push_back(std::make_unique<UsbSession>(*this, fd));
    sessions_.back()->start(claimError);
}

void UsbAttachment::goDown() {
    unplug();
}

void UsbAttachment::comeUp() {
    std::string error;
    if (!plug(error)) logLine("%s", error.c_str());
}

void UsbAttachment::dropLinks() {
    unplug();
    comeUp();
}

}  // namespace zvsim
