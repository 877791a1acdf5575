#include "frame.h"

namespace zvsim {

FrameWriter::FrameWriter(uint8_t address) : writer_(frame_.data.data(), frame_.data.size()) {
    frame_.address = address;
}

FrameWriter& FrameWriter::u8(uint8_t v) {
    writer_.u8(v);
    return *this;
}

FrameWriter& FrameWriter::u16(uint16_t v) {
    writer_.u16be(v);
    return *this;
}

FrameWriter& FrameWriter::u32(uint32_t v) {
    writer_.u32be(v);
    return *this;
}

FrameWriter& FrameWriter::bytes(const uint8_t* data, size_t n) {
    writer_.bytes(data, n);
    return *this;
}

Frame FrameWriter::finish() const {
    Frame f = frame_;
    f.length = static_cast<uint8_t>(writer_.position());
    return f;
}

std::vector<uint8_t> encodeFrame(const Frame& frame) {
    std::vector<uint8_t> out(2u + frame.length);
    zv::ByteWriter w(out.data(), out.size());
    w.u8(frame.address);
    w.u8(frame.length);
    w.bytes(frame.data.data(), frame.length);
    return out;
}

void RawFrameParser::feed(const uint8_t* data, size_t n, std::vector<Frame>& out) {
    pending_.insert(pending_.end(), data, data + n);
    size_t start = 0;
    for (;;) {
        zv::ByteReader r(pending_.data() + start, pending_.size() - start);
        const uint8_t address = r.u8();
        const uint8_t length = r.u8();
        if (!r.ok()) break;
        if (address == 0 || length > kMaxFrameData) {
            ++start;
            ++discarded_;
            continue;
        }
        Frame f;
        f.address = address;
        f.length = length;
        if (!r.bytes(f.data.data(), length)) break;
        out.push_back(f);
        start += r.position();
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
}

}  // namespace zvsim
