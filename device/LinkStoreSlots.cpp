// Store slots of a module: capacity and size queries, and whole-slot writes
// and reads through a handle the module opens.
#include <algorithm>
#include <cstring>

#include "LinkImpl.h"
#include "aBytes.h"
#include "aDefs.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

enum SlotCommand : uint8_t {
    kSlotCapacity = 1,
    kSlotSize = 2,
    kSlotOpenRead = 3,
    kSlotOpenWrite = 4,
    kSlotRead = 6,
    kSlotWrite = 7,
    kSlotClose = 8,
};

constexpr uint8_t kSlotError = 0x80;
constexpr uint8_t kNoHandle = 255;
// Data bytes of the answers: command, subcommand, store and slot (or the
// handle) come first.
constexpr uint8_t kSlotQueryAnswerLength = 6;
constexpr uint8_t kSlotCloseAnswerLength = 4;
constexpr uint8_t kSlotReadHeader = 3;

bool sAddressesSlot(uint8_t subcommand) {
    return subcommand >= kSlotCapacity && subcommand <= kSlotOpenWrite;
}

struct SlotMatch {
    uint8_t subcommand;
    uint8_t first;   // store, or the handle
    uint8_t second;  // slot
};

bool sSlotFilter(const aPacket* packet, void* ref) {
    const auto* match = static_cast<const SlotMatch*>(ref);
    zv::ByteReader r(packet->data, packet->length);
    const uint8_t command = r.u8();
    const uint8_t subcommand = r.u8() & static_cast<uint8_t>(~kSlotError);
    const uint8_t first = r.u8();
    const uint8_t second = r.u8();
    if (!r.ok() || command != cmdSLOT || subcommand != match->subcommand) return false;
    if (sAddressesSlot(match->subcommand)) return first == match->first && second == match->second;
    return first == match->first;
}

bool sIsError(const aPacket* answer) {
    zv::ByteReader r(answer->data, answer->length);
    r.skip(1);
    return (r.u8() & kSlotError) != 0;
}

// Data byte 3 of an answer (the sum of a write).
uint8_t sByte3(const aPacket* answer) {
    zv::ByteReader r(answer->data, answer->length);
    r.skip(3);
    return r.u8();
}

// The code of an error answer: after store and slot, or after the handle.
aErr sErrorCode(const aPacket* answer, uint8_t subcommand) {
    zv::ByteReader r(answer->data, answer->length);
    r.skip(sAddressesSlot(subcommand) ? 4 : 3);
    const uint8_t code = r.u8();
    return r.ok() && code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
}

// Releases the answer when it goes out of scope.
struct Answer {
    aPacket* packet = nullptr;
    ~Answer() {
        if (packet) aPacket_Destroy(&packet);
    }
};

// One request and its answer: the sending error, or aErrTimeout without an
// answer.
aErr sExchange(const Link::impl& link, uint8_t module, const SlotMatch& match,
               const uint8_t* arguments, uint8_t argumentLength, uint32_t timeoutMs,
               Answer& answer) {
    uint8_t data[aPACKET_MAX_DATA];
    zv::ByteWriter w(data, sizeof data);
    w.u8(cmdSLOT);
    w.u8(match.subcommand);
    w.bytes(arguments, argumentLength);
    if (!w.ok()) return aErrParam;
    const aErr err = link.put(module, data, static_cast<uint8_t>(w.position()));
    if (err != aErrNone) return err;
    SlotMatch key = match;
    answer.packet = link.await(sSlotFilter, &key, timeoutMs);
    return answer.packet ? aErrNone : aErrTimeout;
}

uint8_t sOpenSlot(const Link::impl& link, uint8_t module, uint8_t store, uint8_t slot,
                  uint8_t subcommand) {
    const uint8_t arguments[] = {store, slot};
    Answer answer;
    if (sExchange(link, module, {subcommand, store, slot}, arguments, sizeof arguments,
                  kLinkSlotOpenTimeoutMs, answer) != aErrNone ||
        sIsError(answer.packet))
        return kNoHandle;
    zv::ByteReader r(answer.packet->data, answer.packet->length);
    r.skip(4);
    const uint8_t handle = r.u8();
    return r.ok() ? handle : kNoHandle;
}

aErr sCloseSlot(const Link::impl& link, uint8_t module, uint8_t handle) {
    Answer answer;
    const aErr err =
        sExchange(link, module, {kSlotClose, handle, 0}, &handle, 1, kLinkAnswerTimeoutMs, answer);
    // Without an answer the sending result stands.
    if (!answer.packet) return err == aErrTimeout ? aErrNone : err;
    if (sIsError(answer.packet)) return sErrorCode(answer.packet, kSlotClose);
    return answer.packet->length == kSlotCloseAnswerLength ? aErrNone : aErrIO;
}

aErr sSlotQuery(const Link::impl& link, uint8_t module, uint8_t store, uint8_t slot,
                uint8_t subcommand, size_t* value) {
    if (!value) return aErrParam;
    const aErr check = link.checkExchange(module);
    if (check != aErrNone) return check;
    const uint8_t arguments[] = {store, slot};
    Answer answer;
    const aErr err = sExchange(link, module, {subcommand, store, slot}, arguments, sizeof arguments,
                               kLinkAnswerTimeoutMs, answer);
    if (err != aErrNone) return err;
    if (sIsError(answer.packet)) return sErrorCode(answer.packet, subcommand);
    if (answer.packet->length != kSlotQueryAnswerLength) return aErrUnknown;
    zv::ByteReader r(answer.packet->data, answer.packet->length);
    r.skip(4);
    *value = r.u16be();
    return aErrNone;
}

uint8_t sSum(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

}  // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
    return sSlotQuery(*m_impl, module, store, slot, kSlotCapacity, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
    return sSlotQuery(*m_impl, module, store, slot, kSlotSize, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                         size_t length) {
    if (!data && length) return aErrParam;
    const aErr check = m_impl->checkExchange(module);
    if (check != aErrNone) return check;
    const uint8_t handle = sOpenSlot(*m_impl, module, store, slot, kSlotOpenWrite);
    if (handle == kNoHandle) return aErrMedia;

    aErr err = aErrNone;
    for (size_t at = 0; at < length && err == aErrNone; at += kLinkSlotChunk) {
        const size_t n = std::min(kLinkSlotChunk, length - at);
        uint8_t arguments[1 + kLinkSlotChunk];
        zv::ByteWriter w(arguments, sizeof arguments);
        w.u8(handle);
        w.bytes(data + at, n);
        Answer answer;
        err = sExchange(*m_impl, module, {kSlotWrite, handle, 0}, arguments,
                        static_cast<uint8_t>(w.position()), kLinkAnswerTimeoutMs, answer);
        if (err != aErrNone) break;
        if (sIsError(answer.packet))
            err = sErrorCode(answer.packet, kSlotWrite);
        else if (sByte3(answer.packet) != sSum(data + at, n))
            err = aErrIO;
    }
    const aErr closed = sCloseSlot(*m_impl, module, handle);
    return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                           size_t bufferLength, size_t* unloadedLength) {
    if (!buffer || !unloadedLength) return aErrParam;
    *unloadedLength = 0;
    size_t size = 0;
    aErr err = storeSlotSize(module, store, slot, &size);
    if (err != aErrNone) return err;
    const uint8_t handle = sOpenSlot(*m_impl, module, store, slot, kSlotOpenRead);
    if (handle == kNoHandle) return aErrMedia;

    const size_t wanted = std::min(bufferLength, size);
    size_t copied = 0;
    while (copied < wanted && err == aErrNone) {
        Answer answer;
        err = sExchange(*m_impl, module, {kSlotRead, handle, 0}, &handle, 1, kLinkAnswerTimeoutMs,
                        answer);
        if (err != aErrNone) break;
        if (sIsError(answer.packet)) {
            err = sErrorCode(answer.packet, kSlotRead);
        } else if (answer.packet->length <= kSlotReadHeader) {
            err = aErrUnknown;
        } else {
            zv::ByteReader r(answer.packet->data, answer.packet->length);
            r.skip(kSlotReadHeader);
            const size_t n = std::min(r.remaining(), wanted - copied);
            r.bytes(buffer + copied, n);
            copied += n;
        }
    }
    const aErr closed = sCloseSlot(*m_impl, module, handle);
    *unloadedLength = copied;
    if (err != aErrNone) return err;
    if (closed != aErrNone) return closed;
    return size > bufferLength ? aErrOverrun : aErrNone;
}

}  // namespace Zentrovia
}  // namespace Veltrina
