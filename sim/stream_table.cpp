#include "stream_table.h"

#include <algorithm>

#include "aBytes.h"

namespace zvsim {
namespace {

constexpr uint8_t kAny = 0xFF;

bool covers(uint8_t pattern, uint8_t value) {
    return pattern == kAny || pattern == value;
}

}  // namespace

StreamKey StreamKey::fromWord(uint32_t word) {
    uint8_t wire[4];
    zv::ByteWriter w(wire, sizeof wire);
    w.u32be(word);
    zv::ByteReader r(wire, sizeof wire);
    StreamKey k{};
    k.module = r.u8();
    k.command = r.u8();
    k.option = r.u8();
    k.index = r.u8();
    return k;
}

bool StreamKey::matches(uint8_t m, uint8_t c, uint8_t o, uint8_t i) const {
    return covers(module, m) && covers(command, c) && covers(option, o) && covers(index, i);
}

void StreamTable::enable(uint32_t key, uint32_t connection) {
    for (StreamSubscription& s : subscriptions_) {
        if (s.key == key) {
            s.connection = connection;
            return;
        }
    }
    subscriptions_.push_back({key, connection});
}

void StreamTable::disable(uint32_t key) {
    const StreamKey k = StreamKey::fromWord(key);
    std::erase_if(subscriptions_, [&](const StreamSubscription& s) {
        const StreamKey other = StreamKey::fromWord(s.key);
        return s.key == key || k.matches(other.module, other.command, other.option, other.index);
    });
}

void StreamTable::dropConnection(uint32_t connection) {
    std::erase_if(subscriptions_,
                  [&](const StreamSubscription& s) { return s.connection == connection; });
}

}  // namespace zvsim
