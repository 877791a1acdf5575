// UEI messages as a module reads and answers them: command, option byte
// (0x40 get, 0x80 set, 0xC0 the answer to a set), specifier (index, 0x20 on
// host requests, 0x40 stream, 0x80 error), then a big-endian value.
#pragma once

#include <cstdint>
#include <vector>

#include "aError.h"
#include "frame.h"

namespace zvsim {

inline constexpr uint8_t kOptionMask = 0x3F;
inline constexpr uint8_t kOptionGet = 0x40;
inline constexpr uint8_t kOptionSet = 0x80;
inline constexpr uint8_t kOptionSetAnswer = 0xC0;
inline constexpr uint8_t kIndexMask = 0x1F;
inline constexpr uint8_t kSpecifierStream = 0x40;
inline constexpr uint8_t kSpecifierError = 0x80;
inline constexpr size_t kBytesChunk = 24;
inline constexpr uint8_t kSequenceMask = 0x7F;
inline constexpr uint8_t kSequenceMore = 0x80;

struct UeiRequest {
    uint8_t command = 0;
    uint8_t option = 0;  // bare option code
    uint8_t index = 0;
    bool get = false;
    bool set = false;
    std::vector<uint8_t> value;  // bytes after the specifier

    // The option byte the answer carries: bare for a get, 0xC0 for a set.
    uint8_t answerOption() const { return set ? (option | kOptionSetAnswer) : option; }
};

// Reads a host request; false when the frame is not a get or a set.
bool parseUeiRequest(const Frame& frame, UeiRequest& request);

// Value readers; false when the value does not have exactly that width.
bool valueU8(const UeiRequest& request, uint8_t& v);
bool valueU32(const UeiRequest& request, uint32_t& v);

Frame ueiAnswer(uint8_t address, const UeiRequest& request);
Frame ueiAnswerU8(uint8_t address, const UeiRequest& request, uint8_t value);
Frame ueiAnswerU32(uint8_t address, const UeiRequest& request, uint32_t value);
Frame ueiError(uint8_t address, const UeiRequest& request, aErr error);

// A byte array answered as UEI bytes packets: up to 24 payload bytes each and
// a sequence byte (bit 7 while more follow).
std::vector<Frame> ueiBytesAnswer(uint8_t address, const UeiRequest& request,
                                  const std::vector<uint8_t>& bytes);

// One packet of a byte array the host sends: its payload and sequence byte.
struct UeiBytesChunk {
    std::vector<uint8_t> payload;
    uint8_t sequence = 0;
    bool more = false;
};
bool parseUeiBytesChunk(const UeiRequest& request, UeiBytesChunk& chunk);

// A stream sample: command, option, index | 0x40, type, 64-bit timestamp
// (high word first), the value and a final sequence byte of 0.
inline constexpr uint8_t kStreamTypeU8 = 1;
inline constexpr uint8_t kStreamTypeU32 = 3;
Frame streamSample(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t type,
                   uint64_t timestampUs, uint32_t value);

}  // namespace zvsim
