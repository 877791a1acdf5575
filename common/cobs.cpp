#include "cobs.h"

#include <cstring>

#include "aBytes.h"

namespace {

constexpr size_t kLongestRun = 254;
constexpr uint8_t kFullRunCode = 0xFF;

// Non-zero bytes from the reader's position, at most one full run.
size_t sRunLength(const zv::ByteReader& in) {
    zv::ByteReader ahead = in;
    size_t run = 0;
    while (run < kLongestRun && !ahead.atEnd() && ahead.u8() != 0) ++run;
    return run;
}

// Encodes what `in` holds into `out`. Bytes are copied one at a time and the
// writer never passes the reader's next byte, so both may share a buffer as
// long as the input sits at the end of the encoded extent.
bool sEncode(zv::ByteReader& in, zv::ByteWriter& out) {
    for (;;) {
        const size_t run = sRunLength(in);
        out.u8(static_cast<uint8_t>(run + 1));
        for (size_t i = 0; i < run; ++i) out.u8(in.u8());
        if (in.atEnd()) break;
        if (run < kLongestRun) in.skip(1);  // the zero this run stands for
    }
    return in.ok() && out.ok();
}

size_t sEncodedLength(const uint8_t* data, size_t length) {
    zv::ByteReader in(data, length);
    size_t encoded = 0;
    for (;;) {
        const size_t run = sRunLength(in);
        encoded += run + 1;
        in.skip(run);
        if (in.atEnd()) break;
        if (run < kLongestRun) in.skip(1);
    }
    return encoded;
}

size_t sDecode(zv::ByteReader& in, zv::ByteWriter& out) {
    while (!in.atEnd()) {
        const uint8_t code = in.u8();
        if (code == 0 || code - 1u > in.remaining()) return 0;
        for (unsigned i = 1; i < code; ++i) {
            const uint8_t byte = in.u8();
            if (byte == 0) return 0;
            out.u8(byte);
        }
        if (code != kFullRunCode && !in.atEnd()) out.u8(0);
        if (!out.ok()) return 0;
    }
    return in.ok() && out.ok() ? out.position() : 0;
}

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity) {
    if ((!source && length) || !destination) return 0;
    zv::ByteReader in(source, length);
    zv::ByteWriter out(destination, capacity);
    return sEncode(in, out) ? out.position() : 0;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length, size_t capacity) {
    if (!buffer || length > capacity) return 0;
    const size_t encoded = sEncodedLength(buffer, length);
    if (encoded > capacity) return 0;
    // Move the input to the end of the encoded extent; the encoder then
    // writes behind its reading position all the way.
    const size_t shift = encoded - length;
    std::memmove(buffer + shift, buffer, length);
    zv::ByteReader in(buffer + shift, length);
    zv::ByteWriter out(buffer, encoded);
    return sEncode(in, out) ? out.position() : 0;
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity) {
    if (!source || !destination) return 0;
    zv::ByteReader in(source, length);
    zv::ByteWriter out(destination, capacity);
    return sDecode(in, out);
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
    if (!buffer) return 0;
    zv::ByteReader in(buffer, length);
    zv::ByteWriter out(buffer, length);
    return sDecode(in, out);
}
