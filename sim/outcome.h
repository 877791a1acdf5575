// What handling one host frame produced: answers for the link it came on and
// the effects the simulator carries out afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "frame.h"
#include "module_model.h"

namespace zvsim {

struct HandlerContext {
    uint32_t connection = 0;  // the link the frame came on
    uint64_t nowMs = 0;
    I2CBus::Presence i2cPresent;  // who answers on this module's I2C bus
};

struct Outcome {
    std::vector<Frame> replies;
    bool dropLink = false;               // cut the link the frame came on
    std::optional<RestartKind> restart;  // after the replies are sent
    bool stall = false;
    uint32_t stallMs = 0;  // 0: for good
    bool streamsChanged = false;
};

}  // namespace zvsim
