#include "BirdParser.h"

#include <cstdarg>
#include <cstdio>

#include "aBytes.h"

namespace bird {

namespace {

std::string describe(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string describe(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

}  // namespace

bool ParseHeader(const uint8_t* data, size_t size, Header* header) {
    zv::ByteReader r(data, size);
    Header h;
    h.signature = r.u32be();
    h.version = r.u16be();
    if (!r.ok()) return false;
    if (header) *header = h;
    return true;
}

bool HeaderIsValid(const Header& header) {
    return header.signature == kSignature && (header.version >> 8) != 0 &&
           (header.version & 0xFF) != 0;
}

const char* BlockTypeName(uint8_t type) {
    switch (type) {
        case 0:
            return "loader";
        case 1:
            return "firmware";
        case 2:
            return "serial number";
        case 4:
            return "build info";
        case 5:
            return "start address";
        default:
            return "unknown";
    }
}

std::string BuildInfoField(const uint8_t* data, size_t length, unsigned index, size_t width) {
    if (index > 3 || width > kBuildInfoField) return {};
    zv::ByteReader r(data, length);
    if (!r.skip(index * kBuildInfoField)) return {};
    const uint8_t* p = r.view(width);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p), width);
}

ScanResult ScanPayload(const uint8_t* payload, size_t size) {
    ScanResult res;
    zv::ByteReader r(payload, size);

    res.reportedCount = r.u32be();
    if (!r.ok()) {
        res.reportedCount = 0;
        res.stoppedEarly = true;
        res.stopReason = describe("the payload (%zu bytes) is too short for its block count", size);
        res.problems.push_back(res.stopReason);
        return res;
    }
    res.countRead = true;

    // "More than 4 bytes remain": the last 4 are the checksum.
    while (r.remaining() > kChecksumSize) {
        const size_t start = r.position();
        const size_t index = res.blocks.size();
        const size_t room = r.remaining() - kChecksumSize;  // bytes before the checksum
        if (index >= kMaxBlocks) {
            res.stopReason = describe("more than %zu blocks", kMaxBlocks);
            break;
        }
        if (room < kBlockHeaderSize) {
            res.stopReason = describe(
                "block %zu at offset %zu: %zu bytes before the checksum cannot hold a block header",
                index, start, room);
            break;
        }
        const uint8_t typeFlags = r.u8();
        const uint32_t length = r.u32be();
        BlockRecord block;
        block.type = typeFlags & kTypeMask;
        block.flags = static_cast<uint8_t>((typeFlags & kFlagMask) >> kFlagShift);
        block.length = length;
        if (length > room - kBlockHeaderSize) {
            res.stopReason = describe(
                "block %zu at offset %zu (type %u) claims %u data bytes, but only %zu remain "
                "before the checksum",
                index, start, block.type, length, room - kBlockHeaderSize);
            r.seek(start);
            break;
        }
        if ((block.type == 0 || block.type == 1) && length < kImageAddressSize) {
            res.stopReason = describe(
                "block %zu at offset %zu (%s) has %u data bytes, too few for its load address",
                index, start, BlockTypeName(block.type), length);
            r.seek(start);
            break;
        }
        block.offset = r.position();
        const uint8_t* data = r.view(length);
        if (!data) {  // cannot happen after the room check; stay safe anyway
            res.stopReason =
                describe("block %zu at offset %zu runs past the payload", index, start);
            r.seek(start);
            break;
        }
        if (block.type == 0 || block.type == 1) {
            zv::ByteReader d(data, length);
            block.address = d.u32be();
        }
        if (block.type == 2 && length < kSerialBlockSize)
            res.problems.push_back(
                describe("block %zu (serial number) has %u data bytes, fewer than %zu; its "
                         "locations are ignored",
                         index, length, kSerialBlockSize));
        if (block.type == 4 && length < kBuildInfoSize)
            res.problems.push_back(
                describe("block %zu (build info) has %u data bytes, fewer than %zu; it is ignored",
                         index, length, kBuildInfoSize));
        if (block.type == 5 && length < kStartAddressSize)
            res.problems.push_back(
                describe("block %zu (start address) has %u data bytes, fewer than %zu; it is "
                         "ignored",
                         index, length, kStartAddressSize));
        res.blocks.push_back(block);
    }
    if (!res.stopReason.empty()) {
        res.stoppedEarly = true;
        res.problems.insert(res.problems.begin(), res.stopReason);
    }

    if (r.remaining() >= kChecksumSize) {
        res.checksum = r.u32be();
        res.checksumRead = true;
    } else {
        res.problems.push_back(describe(
            "the payload ends without its 4-byte checksum (%zu bytes left)", r.remaining()));
    }
    res.remaining = r.remaining();
    if (res.checksumRead && res.remaining > 0)
        res.problems.push_back(describe("%zu bytes remain after the checksum", res.remaining));
    if (res.blocks.size() != res.reportedCount)
        res.problems.push_back(describe("the payload reports %u blocks but holds %zu",
                                        res.reportedCount, res.blocks.size()));
    return res;
}

}  // namespace bird
