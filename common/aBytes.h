// Bounds-checked byte reader and writer.
//
// Every wire layout of the library (frames, UEI messages, packages, server
// replies, datagrams, boot-ROM replies) goes through these two classes, so a
// short or lying buffer turns into a failed read instead of an overrun. A
// failed operation sets a sticky flag and leaves the position where it was;
// callers check ok() once after a run of reads or writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zv {

class ByteReader {
public:
    ByteReader(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t size() const { return size_; }
    size_t remaining() const { return size_ - pos_; }
    bool atEnd() const { return pos_ == size_; }
    // The unread bytes, for handing a tail to another parser.
    const uint8_t* cursor() const { return data_ + pos_; }

    uint8_t u8() {
        uint8_t v = 0;
        if (take(1)) v = data_[pos_ - 1];
        return v;
    }
    uint16_t u16be() { return static_cast<uint16_t>(uint(2, true)); }
    uint16_t u16le() { return static_cast<uint16_t>(uint(2, false)); }
    uint32_t u32be() { return static_cast<uint32_t>(uint(4, true)); }
    uint32_t u32le() { return static_cast<uint32_t>(uint(4, false)); }

    // Copies n bytes out; on a short buffer nothing is copied.
    bool bytes(void* out, size_t n) {
        if (!take(n)) return false;
        if (n) std::memcpy(out, data_ + pos_ - n, n);
        return true;
    }
    // Returns a view of the next n bytes and steps over them; null when short.
    const uint8_t* view(size_t n) {
        if (!take(n)) return nullptr;
        return data_ + pos_ - n;
    }
    bool skip(size_t n) { return take(n); }
    bool seek(size_t offset) {
        if (offset > size_) return fail();
        pos_ = offset;
        return true;
    }
    // A fixed-size text field, ending at its first zero byte or its width.
    std::string text(size_t width) {
        const uint8_t* p = view(width);
        if (!p) return {};
        size_t len = 0;
        while (len < width && p[len] != 0) ++len;
        return std::string(reinterpret_cast<const char*>(p), len);
    }

private:
    bool fail() {
        ok_ = false;
        return false;
    }
    bool take(size_t n) {
        if (!ok_ || n > size_ - pos_) return fail();
        pos_ += n;
        return true;
    }
    uint64_t uint(size_t n, bool bigEndian) {
        const uint8_t* p = view(n);
        if (!p) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            size_t idx = bigEndian ? i : n - 1 - i;
            v = (v << 8) | p[idx];
        }
        return v;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class ByteWriter {
public:
    ByteWriter(void* data, size_t size) : data_(static_cast<uint8_t*>(data)), size_(data ? size : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }

    bool u8(uint8_t v) { return put(&v, 1); }
    bool u16be(uint16_t v) { return uint(v, 2, true); }
    bool u16le(uint16_t v) { return uint(v, 2, false); }
    bool u32be(uint32_t v) { return uint(v, 4, true); }
    bool u32le(uint32_t v) { return uint(v, 4, false); }
    bool bytes(const void* src, size_t n) { return put(src, n); }
    bool zeros(size_t n) {
        if (!room(n)) return false;
        std::memset(data_ + pos_, 0, n);
        pos_ += n;
        return true;
    }
    // A fixed-size text field: the text cut to width - 1, zero padded.
    bool text(std::string_view s, size_t width) {
        if (!room(width) || width == 0) return fail();
        size_t n = s.size() < width ? s.size() : width - 1;
        std::memcpy(data_ + pos_, s.data(), n);
        std::memset(data_ + pos_ + n, 0, width - n);
        pos_ += width;
        return true;
    }
    // Writes at an absolute offset without moving the position.
    bool patchU32be(size_t offset, uint32_t v) {
        if (!ok_ || offset > size_ || size_ - offset < 4) return fail();
        for (int i = 0; i < 4; ++i) data_[offset + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        return true;
    }

private:
    bool fail() {
        ok_ = false;
        return false;
    }
    bool room(size_t n) {
        if (!ok_ || n > size_ - pos_) return fail();
        return true;
    }
    bool put(const void* src, size_t n) {
        if (!room(n)) return false;
        if (n) std::memcpy(data_ + pos_, src, n);
        pos_ += n;
        return true;
    }
    bool uint(uint32_t v, size_t n, bool bigEndian) {
        if (!room(n)) return false;
        for (size_t i = 0; i < n; ++i) {
            size_t shift = bigEndian ? 8 * (n - 1 - i) : 8 * i;
            data_[pos_ + i] = static_cast<uint8_t>(v >> shift);
        }
        pos_ += n;
        return true;
    }

    uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace zv
