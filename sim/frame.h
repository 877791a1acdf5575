// A link frame as the device sees it: address byte, length byte, data bytes.
// Frames are built with FrameWriter and read with zv::ByteReader over their
// data, so a reply can never run past the 28 data bytes a frame can carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "aBytes.h"

namespace zvsim {

inline constexpr size_t kMaxFrameData = 28;
inline constexpr size_t kMaxFrameBytes = kMaxFrameData + 2;
// Link-control values a host puts in the address position.
inline constexpr uint8_t kAddressEcho = 0xAD;
inline constexpr uint8_t kForceRoute = 0xAF;

struct Frame {
    uint8_t address = 0;
    uint8_t length = 0;
    std::array<uint8_t, kMaxFrameData> data{};

    zv::ByteReader reader() const { return zv::ByteReader(data.data(), length); }
};

// Builds one frame; a value that does not fit marks the writer failed.
class FrameWriter {
  public:
    explicit FrameWriter(uint8_t address);
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    FrameWriter& u8(uint8_t v);
    FrameWriter& u16(uint16_t v);
    FrameWriter& u32(uint32_t v);
    FrameWriter& bytes(const uint8_t* data, size_t n);
    bool ok() const { return writer_.ok(); }
    size_t room() const { return writer_.remaining(); }
    Frame finish() const;

  private:
    Frame frame_;
    zv::ByteWriter writer_;
};

// The frame as it travels on a raw byte link (TCP, kernel node, USB).
std::vector<uint8_t> encodeFrame(const Frame& frame);

// Rebuilds frames from a raw byte stream. A length byte above 28 cannot start
// a frame, so the parser drops the byte it took for an address and tries
// again from the next one; the host's echo frames then realign it.
class RawFrameParser {
  public:
    // Feeds bytes; complete frames are appended to `out`.
    void feed(const uint8_t* data, size_t n, std::vector<Frame>& out);
    size_t discardedBytes() const { return discarded_; }

  private:
    std::vector<uint8_t> pending_;
    size_t discarded_ = 0;
};

}  // namespace zvsim
