#include "UpgradeMessages.h"

#include "aBytes.h"

namespace upgrade {
namespace {

Request optionOnly(Option option) {
    Request r;
    zv::ByteWriter w(r.bytes, sizeof r.bytes);
    w.u8(option);
    r.length = static_cast<uint8_t>(w.position());
    return r;
}

// Reads the two reply bytes and checks them against the expected option.
bool replyHeader(zv::ByteReader& r, Option option) {
    const uint8_t command = r.u8();
    const uint8_t answered = r.u8();
    return r.ok() && command == kCommand && answered == option;
}

}  // namespace

Request InitRequest() {
    return optionOnly(kInit);
}

Request LoadRequest() {
    return optionOnly(kLoad);
}

Request SumRequest() {
    return optionOnly(kSum);
}

Request RebootRequest() {
    return optionOnly(kReboot);
}

Request PrepareRequest(uint8_t flags, uint32_t address) {
    Request r;
    zv::ByteWriter w(r.bytes, sizeof r.bytes);
    w.u8(kPrepare);
    w.u8(flags);
    w.u32be(address);
    r.length = static_cast<uint8_t>(w.position());
    return r;
}

Request WriteRequest(uint32_t count) {
    Request r;
    zv::ByteWriter w(r.bytes, sizeof r.bytes);
    w.u8(kWrite);
    w.u16be(static_cast<uint16_t>(count & 0xFFFF));
    r.length = static_cast<uint8_t>(w.position());
    return r;
}

bool DataRequest(const uint8_t* data, size_t count, Request& request) {
    request = Request{};
    if (!data || count == 0 || count > kMaxDataChunk) return false;
    zv::ByteWriter w(request.bytes, sizeof request.bytes);
    w.u8(kData);
    w.bytes(data, count);
    if (!w.ok()) return false;
    request.length = static_cast<uint8_t>(w.position());
    return true;
}

Match ReplyMatch(Option request) {
    switch (request) {
        case kPrepare:
        case kSum:
        case kWrite:
            return Match{{kCommand, kStatus}};
        default:
            return Match{{kCommand, request}};
    }
}

bool BlockAddress(const uint8_t* block, size_t length, uint32_t& address) {
    zv::ByteReader r(block, length);
    address = r.u32be();
    return r.ok();
}

bool ParseInitReply(const uint8_t* reply, size_t length, uint32_t& loadBase) {
    zv::ByteReader r(reply, length);
    if (!replyHeader(r, kInit)) return false;
    loadBase = r.u32be();
    return r.ok();
}

bool ParseDataReply(const uint8_t* reply, size_t length, uint8_t& count) {
    zv::ByteReader r(reply, length);
    if (!replyHeader(r, kData)) return false;
    count = r.u8();
    return r.ok();
}

bool ParseStatus(const uint8_t* reply, size_t length, uint8_t& status) {
    zv::ByteReader r(reply, length);
    if (!replyHeader(r, kStatus)) return false;
    status = r.u8();
    return r.ok();
}

bool ParsePrepareReply(const uint8_t* reply, size_t length, uint8_t& status, uint16_t& blockSize) {
    blockSize = 0;
    if (!ParseStatus(reply, length, status)) return false;
    zv::ByteReader r(reply, length);
    r.skip(3);
    const uint16_t size = r.u16be();
    if (r.ok()) blockSize = size;
    return r.ok() || status != 0;
}

bool ParseSumReply(const uint8_t* reply, size_t length, uint8_t& status, uint32_t& sum) {
    sum = 0;
    if (!ParseStatus(reply, length, status)) return false;
    zv::ByteReader r(reply, length);
    r.skip(3);
    const uint32_t value = r.u32be();
    if (r.ok()) sum = value;
    return r.ok() || status != 0;
}

uint32_t AddToSum(uint32_t sum, const uint8_t* data, size_t length) {
    zv::ByteReader r(data, length);
    while (!r.atEnd() && r.ok()) sum += r.u8();
    return sum;
}

}  // namespace upgrade
