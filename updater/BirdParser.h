// The BIRD package format as pure functions over byte buffers: no
// files, no logging, no zlib. BirdFile does the I/O and the logging on top of
// these; tools and tests may use them directly.
//
// Everything here reads through zv::ByteReader, so a short or lying buffer
// gives a recorded problem, never a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bird {

constexpr uint32_t kSignature = 0x62697264;  // "bird", read big-endian
constexpr uint16_t kFormatVersion = 0x0101;
constexpr size_t kHeaderSize = 6;
constexpr uint8_t kTypeMask = 0x1F;
constexpr uint8_t kFlagMask = 0xE0;
constexpr unsigned kFlagShift = 5;
constexpr size_t kBlockHeaderSize = 5;  // type/flags byte, 4-byte length
constexpr size_t kChecksumSize = 4;

// Data sizes the readers of the typed blocks need.
constexpr size_t kImageAddressSize = 4;  // types 0 and 1: load address first
constexpr size_t kSerialBlockSize = 8;   // type 2: two 4-byte addresses
constexpr size_t kBuildInfoSize = 64;    // type 4: four 16-byte text fields
constexpr size_t kBuildInfoField = 16;
constexpr size_t kStartAddressSize = 4;  // type 5

// Limits against hostile packages. The format itself would allow a payload
// of 8 times the compressed size; real packages for this family hold a few
// loader and firmware images of at most a few MiB and a handful of blocks,
// so 64 MiB of payload and 4096 blocks leave a wide margin while keeping a
// zlib bomb or a flood of empty blocks from taking the machine's memory.
constexpr size_t kMaxPayloadSize = 64u * 1024 * 1024;
constexpr size_t kMaxFileSize = kHeaderSize + kMaxPayloadSize + kMaxPayloadSize / 512 + 64;
constexpr size_t kMaxBlocks = 4096;

struct Header {
    uint32_t signature = 0;  // bytes 0-3, big-endian
    uint16_t version = 0;    // bytes 4-5, big-endian
};

// Reads the six header bytes; false when fewer are given.
bool ParseHeader(const uint8_t* data, size_t size, Header* header);
// "bird" and a version whose two bytes are both non-zero.
bool HeaderIsValid(const Header& header);

struct BlockRecord {
    uint8_t type = 0;
    uint8_t flags = 0;     // 0-7
    uint32_t length = 0;   // data length L
    uint32_t address = 0;  // types 0 and 1: first 4 data bytes, big-endian
    size_t offset = 0;     // where the data starts in the payload
};

struct ScanResult {
    bool countRead = false;
    uint32_t reportedCount = 0;  // the payload's own block count N
    std::vector<BlockRecord> blocks;
    bool checksumRead = false;
    uint32_t checksum = 0;
    size_t remaining = 0;       // bytes left after the checksum
    bool stoppedEarly = false;  // the block walk ended before the checksum
    // Why the walk ended early, in words; empty when it reached the checksum.
    std::string stopReason;
    // Every structural problem found, in words (the stop reason, trailing
    // bytes, a count mismatch, blocks too short for their type). Empty for a
    // sound payload.
    std::vector<std::string> problems;

    bool ok() const { return problems.empty(); }
};

// Walks the payload: block count, blocks, checksum. Blocks must end before
// the 4-byte checksum; a block that does not, a loader or firmware block
// shorter than its 4-byte load address, or more than kMaxBlocks blocks end
// the walk (blocks before it are kept). Serial-number blocks under 8 bytes,
// build-information blocks under 64 and start-address blocks under 4 are
// kept but recorded as problems.
ScanResult ScanPayload(const uint8_t* payload, size_t size);

// Name of a block type for listings ("loader", "firmware", ...; "unknown").
const char* BlockTypeName(uint8_t type);

// Field `index` (0 build, 1 version, 2 serial, 3 model) of a build-information
// block's data, `width` bytes of it from the field's start; empty when the
// data is too short.
std::string BuildInfoField(const uint8_t* data, size_t length, unsigned index, size_t width);

}  // namespace bird
