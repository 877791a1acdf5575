#include "cobs_framing.h"

#include "cobs.h"
#include "crc8.h"

namespace zvsim {

std::vector<uint8_t> encodeCobsBlock(const Frame& frame) {
    std::vector<uint8_t> raw = encodeFrame(frame);
    raw.push_back(crc8_create(raw.data(), raw.size()));
    std::vector<uint8_t> block(cobs_max_encoded_size(raw.size()) + 1);
    const size_t encoded = cobs_encode(raw.data(), raw.size(), block.data(), block.size());
    block.resize(encoded);
    block.push_back(0);
    return block;
}

void CobsFrameDecoder::feed(const uint8_t* data, size_t n, std::vector<Frame>& out) {
    zv::ByteReader in(data, n);
    while (!in.atEnd()) {
        const uint8_t byte = in.u8();
        if (byte == 0) {
            finishBlock(out);
        } else if (block_.size() < kMaxBlock) {
            block_.push_back(byte);
        } else {
            overlong_ = true;
        }
    }
}

void CobsFrameDecoder::finishBlock(std::vector<Frame>& out) {
    if (block_.empty() && !overlong_) return;
    uint8_t decoded[kMaxBlock];
    const size_t n =
        overlong_ ? 0 : cobs_decode(block_.data(), block_.size(), decoded, sizeof decoded);
    block_.clear();
    overlong_ = false;
    // Address, length, data and the CRC: at least 3 bytes, and the length
    // byte must account for all of them.
    zv::ByteReader r(decoded, n);
    Frame f;
    f.address = r.u8();
    f.length = r.u8();
    const bool sized = r.ok() && f.length <= kMaxFrameData && n == f.length + 3u;
    if (!sized || !r.bytes(f.data.data(), f.length) || r.u8() != crc8_create(decoded, n - 1)) {
        ++bad_;
        return;
    }
    out.push_back(f);
}

}  // namespace zvsim
