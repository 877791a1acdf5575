// Store slots (command 4): numbered stores of numbered byte slots, opened for
// reading or writing through small handles. Requests are 4, subcommand and
// arguments; answers repeat the subcommand, with 0x80 on an error.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "frame.h"

namespace zvsim {

class StoreSlots {
  public:
    StoreSlots(uint8_t stores, uint8_t slotsPerStore, uint16_t capacity);

    // The answer to one request; none for a request too short to answer.
    std::optional<Frame> handle(uint8_t address, const Frame& request);
    uint8_t stores() const { return static_cast<uint8_t>(slots_.size()); }
    uint8_t slotsPerStore() const { return slotsPerStore_; }

  private:
    struct Slot {
        std::vector<uint8_t> bytes;
        bool open = false;
    };
    struct Handle {
        bool used = false;
        bool writing = false;
        uint8_t store = 0;
        uint8_t slot = 0;
        size_t position = 0;
    };

    Frame slotAnswer(uint8_t address, uint8_t sub, uint8_t store, uint8_t slot);
    Frame handleAnswer(uint8_t address, uint8_t sub, uint8_t handle, zv::ByteReader& args);
    Slot* find(uint8_t store, uint8_t slot);

    std::vector<std::vector<Slot>> slots_;
    uint8_t slotsPerStore_;
    uint16_t capacity_;
    std::array<Handle, 4> handles_{};
};

}  // namespace zvsim
