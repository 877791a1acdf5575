// A module's I2C entity (command 8). On a router the bus carries the modules
// behind it: they acknowledge writes and reads at their addresses. Each
// target is a 256-byte register file; a write's first byte sets the register
// pointer, reads continue from it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "frame.h"

namespace zvsim {

class I2CBus {
  public:
    // Tells whether a module answers at an (even) bus address right now.
    using Presence = std::function<bool(uint8_t address)>;

    std::optional<Frame> handle(uint8_t moduleAddress, const Frame& request,
                                const Presence& present);
    bool pullup() const { return pullup_; }

  private:
    struct Target {
        std::array<uint8_t, 256> registers{};
        uint8_t pointer = 0;
    };

    bool pullup_ = false;
    std::map<uint8_t, Target> targets_;
};

}  // namespace zvsim
