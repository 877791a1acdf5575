#include "factory_data.h"

#include "aError.h"

namespace zvsim {
namespace {

constexpr uint8_t kCmdFactory = 0x5E;
constexpr uint8_t kItemMask = 0x0F;
constexpr uint8_t kWrite = 0x10;
constexpr uint8_t kEnd = 0x20;
constexpr uint8_t kFirst = 0x40;
constexpr uint8_t kError = 0x80;
constexpr size_t kChunk = 26;
constexpr size_t kMaxItem = 4096;

Frame errorAnswer(uint8_t address, uint8_t item, aErr error) {
    FrameWriter w(address);
    w.u8(kCmdFactory).u8(static_cast<uint8_t>(item | kError)).u8(static_cast<uint8_t>(error));
    return w.finish();
}

}  // namespace

std::optional<Frame> FactoryData::handle(uint8_t address, const Frame& request) {
    zv::ByteReader r = request.reader();
    r.skip(1);
    const uint8_t flags = r.u8();
    if (!r.ok()) return std::nullopt;
    if (flags & kEnd) return finish(address, r);
    const uint8_t item = flags & kItemMask;
    if (flags & kWrite) return writeChunk(address, item, (flags & kFirst) != 0, r);
    return readChunk(address, item, (flags & kFirst) != 0);
}

Frame FactoryData::readChunk(uint8_t address, uint8_t item, bool first) {
    if (first) {
        mode_ = Mode::Reading;
        item_ = item;
        position_ = 0;
    } else if (mode_ != Mode::Reading || item_ != item) {
        return errorAnswer(address, item, aErrMode);
    }
    const std::vector<uint8_t>& bytes = items_[item];
    zv::ByteReader from(bytes.data(), bytes.size());
    from.seek(position_);
    const size_t n = from.remaining() < kChunk ? from.remaining() : kChunk;
    position_ += n;
    FrameWriter w(address);
    w.u8(kCmdFactory).u8(item).bytes(from.view(n), n);
    return w.finish();
}

Frame FactoryData::writeChunk(uint8_t address, uint8_t item, bool first, zv::ByteReader& payload) {
    if (first) {
        mode_ = Mode::Writing;
        item_ = item;
        incoming_.clear();
    } else if (mode_ != Mode::Writing || item_ != item) {
        return errorAnswer(address, item, aErrMode);
    }
    if (payload.remaining() > kChunk) return errorAnswer(address, item, aErrSize);
    if (incoming_.size() + payload.remaining() > kMaxItem) {
        mode_ = Mode::Idle;
        return errorAnswer(address, item, aErrOverrun);
    }
    while (!payload.atEnd()) incoming_.push_back(payload.u8());
    FrameWriter w(address);
    w.u8(kCmdFactory).u8(item);
    return w.finish();
}

Frame FactoryData::finish(uint8_t address, zv::ByteReader& args) {
    const uint16_t total = args.u16be();
    const Mode mode = mode_;
    mode_ = Mode::Idle;
    if (!args.ok()) return errorAnswer(address, 0, aErrShortCommand);
    if (mode == Mode::Idle) return errorAnswer(address, 0, aErrMode);
    const size_t expected = mode == Mode::Writing ? incoming_.size() : position_;
    if (total != expected) return errorAnswer(address, 0, aErrSize);
    if (mode == Mode::Writing) items_[item_] = incoming_;
    FrameWriter w(address);
    w.u8(kCmdFactory).u8(0);
    return w.finish();
}

}  // namespace zvsim
