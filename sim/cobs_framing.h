// Serial-line framing: each frame is followed by its CRC-8, COBS-encoded and
// closed by a zero delimiter. The decoder never passes a damaged block on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame.h"

namespace zvsim {

// The wire block of one frame, delimiter included.
std::vector<uint8_t> encodeCobsBlock(const Frame& frame);

class CobsFrameDecoder {
  public:
    void feed(const uint8_t* data, size_t n, std::vector<Frame>& out);
    size_t badBlocks() const { return bad_; }

  private:
    void finishBlock(std::vector<Frame>& out);

    // A good block is at most 32 encoded bytes; longer ones are bad anyway.
    static constexpr size_t kMaxBlock = 32;
    std::vector<uint8_t> block_;
    bool overlong_ = false;
    size_t bad_ = 0;
};

}  // namespace zvsim
