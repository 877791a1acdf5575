// Builds BIRD packages byte by byte for tests, written from the format text
// and independent of the code under test: a header, a zlib stream,
// and a payload that may be made to lie (counts, lengths, checksums).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

inline void appendU32be(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

struct RawBlock {
    uint8_t typeFlags;  // type in bits 0-4, flags in bits 5-7
    Bytes data;
    // When set, the length field says this instead of data.size().
    bool lieLength = false;
    uint32_t length = 0;
};

inline RawBlock imageBlock(uint8_t type, uint32_t address, const Bytes& image, uint8_t flags = 0) {
    RawBlock b{static_cast<uint8_t>(type | (flags << 5)), {}};
    appendU32be(b.data, address);
    b.data.insert(b.data.end(), image.begin(), image.end());
    return b;
}

inline RawBlock serialBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
    RawBlock b{2, {}};
    appendU32be(b.data, serialAddress);
    appendU32be(b.data, descriptorAddress);
    return b;
}

inline std::string field16(const std::string& text) {
    std::string f = text.substr(0, 16);
    f.resize(16, ' ');
    return f;
}

inline RawBlock buildInfoBlock(const std::string& build, const std::string& version,
                               const std::string& serial, const std::string& model) {
    std::string text = field16(build) + field16(version) + field16(serial) + field16(model);
    return RawBlock{4, Bytes(text.begin(), text.end())};
}

inline RawBlock startBlock(uint32_t address) {
    RawBlock b{5, {}};
    appendU32be(b.data, address);
    return b;
}

// Count, blocks, checksum; `count` < 0 means the true number of blocks.
inline Bytes makePayload(const std::vector<RawBlock>& blocks, long long count = -1,
                         uint32_t checksum = 0x12345678) {
    Bytes p;
    appendU32be(p, count < 0 ? static_cast<uint32_t>(blocks.size()) : static_cast<uint32_t>(count));
    for (const RawBlock& b : blocks) {
        p.push_back(b.typeFlags);
        appendU32be(p, b.lieLength ? b.length : static_cast<uint32_t>(b.data.size()));
        p.insert(p.end(), b.data.begin(), b.data.end());
    }
    appendU32be(p, checksum);
    return p;
}

inline Bytes zlibCompress(const Bytes& data, int level = Z_BEST_COMPRESSION) {
    uLongf length = compressBound(data.size());
    Bytes out(length);
    if (compress2(out.data(), &length, data.data(), data.size(), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(length);
    return out;
}

inline Bytes makeBirdFile(const Bytes& payload, uint8_t v0 = 0x01, uint8_t v1 = 0x01,
                          const char* sig = "bird") {
    Bytes file(sig, sig + 4);
    file.push_back(v0);
    file.push_back(v1);
    Bytes z = zlibCompress(payload);
    file.insert(file.end(), z.begin(), z.end());
    return file;
}

inline std::string asString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace testsupport
