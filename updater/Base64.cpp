#include "Base64.h"

#include <cstdlib>

#include "aBytes.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* outLength) {
    if (!text || length % 4 != 0) return nullptr;
    unsigned long fill = 0;
    if (length >= 1 && text[length - 1] == '=') ++fill;
    if (length >= 2 && text[length - 2] == '=') ++fill;
    // "x=" followed by a data character is not a fill.
    if (fill == 1 && length >= 2 && text[length - 2] == '=') return nullptr;
    unsigned long decoded = length / 4 * 3 - fill;

    auto* out = static_cast<unsigned char*>(malloc(decoded + 1));
    if (!out) return nullptr;
    zv::ByteReader in(text, length);
    zv::ByteWriter w(out, decoded + 1);
    while (!in.atEnd()) {
        bool last = in.remaining() == 4;
        uint32_t group = 0;
        for (int i = 0; i < 4; ++i) {
            unsigned char c = in.u8();
            int v = sextet(c);
            if (v < 0) {
                // "=" only as the fill of the last group.
                if (!(c == '=' && last && i >= 4 - static_cast<int>(fill))) {
                    free(out);
                    return nullptr;
                }
                v = 0;
            }
            group = (group << 6) | static_cast<uint32_t>(v);
        }
        size_t take = last ? 3 - fill : 3;
        for (size_t i = 0; i < take; ++i) w.u8(static_cast<uint8_t>(group >> (16 - 8 * i)));
    }
    w.u8(0);
    if (!w.ok()) {
        free(out);
        return nullptr;
    }
    if (outLength) *outLength = decoded;
    return out;
}

char* base64_encode(const char* data, unsigned long length, unsigned long* outLength) {
    if (!data && length) return nullptr;
    unsigned long size = (length + 2) / 3 * 4;
    auto* out = static_cast<char*>(malloc(size + 1));
    if (!out) return nullptr;
    zv::ByteReader in(data, length);
    zv::ByteWriter w(out, size + 1);
    while (!in.atEnd()) {
        size_t n = in.remaining() < 3 ? in.remaining() : 3;
        uint32_t group = 0;
        for (size_t i = 0; i < 3; ++i) group = (group << 8) | (i < n ? in.u8() : 0);
        for (size_t i = 0; i < 4; ++i)
            w.u8(i <= n ? static_cast<uint8_t>(kAlphabet[(group >> (18 - 6 * i)) & 0x3F]) : '=');
    }
    w.u8(0);
    if (outLength) *outLength = size;
    return out;
}
