#include "pty_link.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "log.h"

namespace zvsim {

PtyLink::PtyLink(Simulator& sim, SimModule& module, Framing framing, std::function<void()> onDrop)
    : sim_(sim), module_(module), framing_(framing), onDrop_(std::move(onDrop)) {}

PtyLink::~PtyLink() {
    close();
}

bool PtyLink::open(std::string& error) {
    if (!openPty(pty_, error)) return false;
    setId(sim_.addConnection(*this, module_));
    sim_.loop().watch(pty_.master, POLLIN, [this](short revents) { onEvents(revents); });
    return true;
}

void PtyLink::close() {
    if (pty_.master < 0) return;
    sim_.loop().unwatch(pty_.master);
    sim_.removeConnection(id());
    closePty(pty_);
    output_.clear();
}

std::string PtyLink::describe() const {
    return std::string(framing_ == Framing::Cobs ? "serial " : "node ") + pty_.path;
}

void PtyLink::send(const Frame& frame) {
    if (pty_.master < 0) return;
    std::vector<uint8_t> bytes =
        framing_ == Framing::Cobs ? encodeCobsBlock(frame) : encodeFrame(frame);
    if (framing_ == Framing::Cobs && module_.model.faults.onSerialBlock()) damage(bytes);
    output_.write(pty_.master, bytes);
    sim_.loop().setEvents(pty_.master, output_.pending() ? POLLIN | POLLOUT : POLLIN);
}

// Flips bits in the first encoded byte after the code byte, never making it
// zero (that would split the block instead of damaging it).
void PtyLink::damage(std::vector<uint8_t>& block) {
    if (block.size() < 3) return;
    zv::ByteReader r(block.data() + 1, block.size() - 1);
    uint8_t b = static_cast<uint8_t>(r.u8() ^ 0x5A);
    if (b == 0) b = 0xA5;
    zv::ByteWriter w(block.data() + 1, block.size() - 1);
    w.u8(b);
}

void PtyLink::drop() {
    if (onDrop_) onDrop_();
}

void PtyLink::flush() {
    if (pty_.master >= 0) tcflush(pty_.slave, TCIOFLUSH);
    output_.clear();
}

void PtyLink::onEvents(short revents) {
    if (revents & POLLOUT) {
        output_.flush(pty_.master);
        sim_.loop().setEvents(pty_.master, output_.pending() ? POLLIN | POLLOUT : POLLIN);
    }
    if (!(revents & POLLIN)) return;
    uint8_t buf[4096];
    const ssize_t n = read(pty_.master, buf, sizeof buf);
    if (n <= 0) return;
    if (onHostData_) onHostData_();
    std::vector<Frame> frames;
    if (framing_ == Framing::Cobs) {
        const size_t before = cobs_.badBlocks();
        cobs_.feed(buf, static_cast<size_t>(n), frames);
        for (size_t i = before; i < cobs_.badBlocks(); ++i) module_.model.countPacket("bad-block");
    } else {
        raw_.feed(buf, static_cast<size_t>(n), frames);
    }
    const int master = pty_.master;
    for (const Frame& f : frames) {
        if (pty_.master != master) break;  // a frame cut the link
        sim_.deliver(id(), f);
    }
}

}  // namespace zvsim
