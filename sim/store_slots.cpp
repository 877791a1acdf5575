#include "store_slots.h"

#include "aError.h"

namespace zvsim {
namespace {

constexpr uint8_t kCmdSlot = 4;
constexpr uint8_t kError = 0x80;
constexpr uint8_t kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7,
                  kClose = 8;
constexpr size_t kMaxRead = 25;

Frame errorAnswer(uint8_t address, uint8_t sub, std::initializer_list<uint8_t> args, aErr error) {
    FrameWriter w(address);
    w.u8(kCmdSlot).u8(sub | kError);
    for (uint8_t a : args) w.u8(a);
    w.u8(static_cast<uint8_t>(error));
    return w.finish();
}

}  // namespace

StoreSlots::StoreSlots(uint8_t stores, uint8_t slotsPerStore, uint16_t capacity)
    : slots_(stores, std::vector<Slot>(slotsPerStore)),
      slotsPerStore_(slotsPerStore),
      capacity_(capacity) {}

StoreSlots::Slot* StoreSlots::find(uint8_t store, uint8_t slot) {
    if (store >= slots_.size() || slot >= slotsPerStore_) return nullptr;
    return &slots_.at(store).at(slot);
}

std::optional<Frame> StoreSlots::handle(uint8_t address, const Frame& request) {
    zv::ByteReader r = request.reader();
    r.skip(1);
    const uint8_t sub = r.u8();
    const uint8_t first = r.u8();
    if (!r.ok()) return std::nullopt;
    if (sub >= kCapacity && sub <= kOpenWrite) {
        const uint8_t slot = r.u8();
        if (!r.ok()) return errorAnswer(address, sub, {first, 0}, aErrShortCommand);
        return slotAnswer(address, sub, first, slot);
    }
    if (sub >= kRead && sub <= kClose) return handleAnswer(address, sub, first, r);
    return errorAnswer(address, sub, {first}, aErrInvalidOption);
}

Frame StoreSlots::slotAnswer(uint8_t address, uint8_t sub, uint8_t store, uint8_t slot) {
    Slot* s = find(store, slot);
    if (!s) return errorAnswer(address, sub, {store, slot}, aErrIndexRange);
    FrameWriter w(address);
    w.u8(kCmdSlot).u8(sub).u8(store).u8(slot);
    if (sub == kCapacity) return w.u16(capacity_).finish();
    if (sub == kSize) return w.u16(static_cast<uint16_t>(s->bytes.size())).finish();
    if (s->open) return errorAnswer(address, sub, {store, slot}, aErrBusy);
    for (size_t h = 0; h < handles_.size(); ++h) {
        Handle& handle = handles_.at(h);
        if (handle.used) continue;
        handle = Handle{true, sub == kOpenWrite, store, slot, 0};
        s->open = true;
        if (handle.writing) s->bytes.clear();
        return w.u8(static_cast<uint8_t>(h)).finish();
    }
    return errorAnswer(address, sub, {store, slot}, aErrResource);
}

Frame StoreSlots::handleAnswer(uint8_t address, uint8_t sub, uint8_t h, zv::ByteReader& args) {
    if (h >= handles_.size() || !handles_.at(h).used)
        return errorAnswer(address, sub, {h}, aErrParam);
    Handle& handle = handles_.at(h);
    Slot& slot = *find(handle.store, handle.slot);
    FrameWriter w(address);
    w.u8(kCmdSlot).u8(sub).u8(h);
    if (sub == kClose) {
        slot.open = false;
        handle = Handle{};
        return w.u8(0).finish();
    }
    if (sub == kRead) {
        if (handle.writing) return errorAnswer(address, sub, {h}, aErrMode);
        zv::ByteReader from(slot.bytes.data(), slot.bytes.size());
        from.seek(handle.position);
        const size_t n = from.remaining() < kMaxRead ? from.remaining() : kMaxRead;
        w.bytes(from.view(n), n);
        handle.position += n;
        return w.finish();
    }
    if (!handle.writing) return errorAnswer(address, sub, {h}, aErrMode);
    const size_t n = args.remaining();
    if (slot.bytes.size() + n > capacity_) return errorAnswer(address, sub, {h}, aErrOverrun);
    uint8_t sum = 0;
    while (!args.atEnd()) {
        const uint8_t byte = args.u8();
        sum = static_cast<uint8_t>(sum + byte);
        slot.bytes.push_back(byte);
    }
    return w.u8(sum).finish();
}

}  // namespace zvsim
