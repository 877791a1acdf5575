// Message layouts of the device's firmware upgrade command (0x5F): the
// request payloads the host sends and the replies it reads back. Pure
// builders and parsers over zv::ByteReader/ByteWriter; no I/O here.
//
// A request is the bytes after the command byte, which Link::sendPacket
// takes apart. A reply is the whole packet data, command byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upgrade {

inline constexpr uint8_t kCommand = 0x5F;

enum Option : uint8_t {
    kInit = 0,
    kData = 1,
    kLoad = 2,
    kPrepare = 3,
    kSum = 4,
    kWrite = 5,
    kReboot = 6,
    kStatus = 7,
    kDataUEI = 10,
};

// Data bytes one DATA packet carries: the link takes 27 bytes after the
// command byte and the option byte is one of them.
inline constexpr size_t kMaxDataChunk = 26;
// Bytes of a block in front of its payload: the load address, big-endian.
inline constexpr size_t kBlockAddressSize = 4;

// Request bytes after the command byte.
struct Request {
    uint8_t bytes[kMaxDataChunk + 1] = {};
    uint8_t length = 0;
};

Request InitRequest();
Request LoadRequest();
Request SumRequest();
Request RebootRequest();
// The address bytes go out in the order the block holds them.
Request PrepareRequest(uint8_t flags, uint32_t address);
// `count` is cut to its low 16 bits, as the device reads it.
Request WriteRequest(uint32_t count);
// False (and an empty request) for 0 or more than kMaxDataChunk bytes.
bool DataRequest(const uint8_t* data, size_t count, Request& request);

// The two bytes a reply to an option starts with.
struct Match {
    uint8_t bytes[2];
    static constexpr uint8_t length = 2;
};
// INIT, DATA and LOAD are answered under their own option; PREPARE, SUM and
// WRITE under the status option.
Match ReplyMatch(Option request);

// The load address a block starts with; false for a block shorter than it.
bool BlockAddress(const uint8_t* block, size_t length, uint32_t& address);

// INIT reply: 5F 00 and the loader's load base (big-endian); false when
// shorter than 6 bytes.
bool ParseInitReply(const uint8_t* reply, size_t length, uint32_t& loadBase);
// DATA reply: 5F 01 and the count the device took.
bool ParseDataReply(const uint8_t* reply, size_t length, uint8_t& count);
// Any status reply: 5F 07 and the status byte.
bool ParseStatus(const uint8_t* reply, size_t length, uint8_t& status);
// PREPARE's status reply with the block size (big-endian); false when the
// status is 0 but the size is missing.
bool ParsePrepareReply(const uint8_t* reply, size_t length, uint8_t& status, uint16_t& blockSize);
// SUM's status reply with the byte sum (big-endian); false when the status
// is 0 but the sum is missing.
bool ParseSumReply(const uint8_t* reply, size_t length, uint8_t& status, uint32_t& sum);

// The 32-bit sum of the bytes taken as unsigned values, continued from `sum`.
uint32_t AddToSum(uint32_t sum, const uint8_t* data, size_t length);

}  // namespace upgrade
