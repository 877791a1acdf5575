// Factory data items of a module, read and written in chunks and confirmed
// with an end request that carries the total count.
#include <algorithm>

#include "LinkImpl.h"
#include "aBytes.h"
#include "aDefs.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

constexpr uint8_t kFactoryItemMask = 0x0F;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryError = 0x80;
// Command and flags in front of the payload.
constexpr uint8_t COMMAND_OVERHEAD = 2;
constexpr uint8_t kEndErrorLength = 3;

bool sFactoryFilter(const aPacket* packet, void* ref) {
    const uint8_t item = *static_cast<const uint8_t*>(ref);
    zv::ByteReader r(packet->data, packet->length);
    const uint8_t command = r.u8();
    const uint8_t flags = r.u8();
    return r.ok() && command == cmdFACTORY &&
           (flags == item || flags == static_cast<uint8_t>(item | kFactoryError));
}

struct Answer {
    aPacket* packet = nullptr;
    ~Answer() {
        if (packet) aPacket_Destroy(&packet);
    }
    bool isError() const {
        zv::ByteReader r(packet->data, packet->length);
        r.skip(1);
        return (r.u8() & kFactoryError) != 0;
    }
    aErr errorCode() const {
        zv::ByteReader r(packet->data, packet->length);
        r.skip(COMMAND_OVERHEAD);
        const uint8_t code = r.u8();
        return r.ok() && code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
    }
};

// Sends command, flags and payload; waits for the matching answer.
aErr sExchange(const Link::impl& link, uint8_t module, uint8_t flags, const uint8_t* payload,
               size_t length, Answer& answer) {
    uint8_t data[aPACKET_MAX_DATA];
    zv::ByteWriter w(data, sizeof data);
    w.u8(cmdFACTORY);
    w.u8(flags);
    w.bytes(payload, length);
    if (!w.ok()) return aErrParam;
    const aErr err = link.put(module, data, static_cast<uint8_t>(w.position()));
    if (err != aErrNone) return err;
    uint8_t item = flags & kFactoryItemMask;
    answer.packet = link.await(sFactoryFilter, &item, kLinkAnswerTimeoutMs);
    return answer.packet ? aErrNone : aErrTimeout;
}

// The end request with the total count.
aErr sFinish(const Link::impl& link, uint8_t module, size_t total) {
    uint8_t count[2];
    zv::ByteWriter w(count, sizeof count);
    w.u16be(static_cast<uint16_t>(total));
    Answer answer;
    const aErr err = sExchange(link, module, kFactoryEnd, count, sizeof count, answer);
    if (err != aErrNone) return err;
    if (answer.isError() && answer.packet->length == kEndErrorLength) return answer.errorCode();
    return aErrNone;
}

}  // namespace

aErr Link::getFactoryData(uint8_t module, uint8_t command, uint8_t* buffer, size_t bufferLength,
                          size_t* unloadedLength) {
    if (!buffer || !unloadedLength) return aErrParam;
    *unloadedLength = 0;
    const aErr check = m_impl->checkExchange(module);
    if (check != aErrNone) return check;
    const uint8_t item = command & kFactoryItemMask;
    size_t total = 0;
    bool more = true;
    for (bool first = true; more; first = false) {
        Answer answer;
        const uint8_t flags = first ? static_cast<uint8_t>(item | kFactoryFirst) : item;
        const aErr err = sExchange(*m_impl, module, flags, nullptr, 0, answer);
        if (err != aErrNone) return err;
        if (answer.packet->length < COMMAND_OVERHEAD) return aErrUnknown;
        if (answer.isError()) return answer.errorCode();
        zv::ByteReader r(answer.packet->data, answer.packet->length);
        r.skip(COMMAND_OVERHEAD);
        const size_t n = r.remaining();
        if (total + n >= bufferLength) return aErrOverrun;
        r.bytes(buffer + total, n);
        total += n;
        more = answer.packet->length == aPACKET_MAX_DATA;
    }
    const aErr err = sFinish(*m_impl, module, total);
    if (err == aErrNone) *unloadedLength = total;
    return err;
}

aErr Link::setFactoryData(uint8_t module, uint8_t command, const uint8_t* data, size_t length) {
    if ((!data && length) || length > UINT16_MAX) return aErrParam;
    const aErr check = m_impl->checkExchange(module);
    if (check != aErrNone) return check;
    const uint8_t item = command & kFactoryItemMask;
    size_t sent = 0;
    bool first = true;
    do {
        const size_t n = std::min(kLinkFactoryChunk, length - sent);
        const uint8_t flags =
            static_cast<uint8_t>(item | kFactoryWrite | (first ? kFactoryFirst : 0));
        Answer answer;
        const aErr err = sExchange(*m_impl, module, flags, data + sent, n, answer);
        if (err != aErrNone) return err;
        if (answer.isError()) return answer.errorCode();
        if (answer.packet->length != COMMAND_OVERHEAD) return aErrSize;
        sent += n;
        first = false;
    } while (sent < length);
    return sFinish(*m_impl, module, sent);
}

}  // namespace Zentrovia
}  // namespace Veltrina
