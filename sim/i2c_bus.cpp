#include "i2c_bus.h"

#include "aError.h"

namespace zvsim {
namespace {

constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kReadBit = 1;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kMaxSpeed = 3;

uint8_t errorStatus(aErr e) {
    return static_cast<uint8_t>(kStatusError | e);
}

}  // namespace

std::optional<Frame> I2CBus::handle(uint8_t moduleAddress, const Frame& request,
                                    const Presence& present) {
    zv::ByteReader r = request.reader();
    r.skip(1);
    const uint8_t index = r.u8();
    const uint8_t target = r.u8();
    const uint8_t length = r.u8();
    if (!r.ok()) return std::nullopt;
    FrameWriter w(moduleAddress);
    w.u8(kCmdI2C).u8(index).u8(target);

    if (target == kPullup) {
        if (index != 0) return w.u8(length).u8(errorStatus(aErrIndexRange)).finish();
        pullup_ = length != 0;
        return w.u8(length).u8(0).finish();
    }
    const uint8_t speed = r.u8();
    const bool read = (target & kReadBit) != 0;
    const uint8_t device = target & static_cast<uint8_t>(~kReadBit);
    // Reads repeat the length in the answer, writes answer 0 there.
    w.u8(read ? length : 0);
    aErr error = aErrNone;
    if (!r.ok())
        error = aErrShortCommand;
    else if (index != 0)
        error = aErrIndexRange;
    else if (length > kMaxTransfer)
        error = aErrSize;
    else if (speed > kMaxSpeed)
        error = aErrRange;
    else if (device == 0 || device == moduleAddress || !present(device))
        error = aErrNotFound;
    else if (!read && r.remaining() != length)
        error = aErrSize;
    if (error != aErrNone) return w.u8(errorStatus(error)).finish();

    Target& t = targets_[device];
    w.u8(0);
    if (read) {
        for (uint8_t i = 0; i < length; ++i) {
            w.u8(t.registers.at(t.pointer));
            t.pointer = static_cast<uint8_t>(t.pointer + 1);
        }
        return w.finish();
    }
    if (!r.atEnd()) t.pointer = r.u8();
    while (!r.atEnd()) {
        t.registers.at(t.pointer) = r.u8();
        t.pointer = static_cast<uint8_t>(t.pointer + 1);
    }
    return w.finish();
}

}  // namespace zvsim
