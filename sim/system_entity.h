// The system entity (command 3, index 0): identity, routing and the stored
// options of the module.
#pragma once

#include "outcome.h"
#include "uei_messages.h"

namespace zvsim {

void handleSystemRequest(ModuleModel& module, const HandlerContext& context,
                         const UeiRequest& request, Outcome& outcome);

// The current value of a numeric option with get access; false otherwise.
bool systemValue(const ModuleModel& module, uint8_t option, uint64_t nowMs, uint32_t& value,
                 OptionType& type);

// Status of a system option for a module information query: 0 when the
// option exists with the access the flags ask for (0x40 get, 0x80 set, 0 any).
aErr systemOptionStatus(uint8_t option, uint8_t index, uint8_t flags);

}  // namespace zvsim
