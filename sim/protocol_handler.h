// Frames in, frames out: how one module answers what a host sends it.
// Transport-free; the simulator feeds it frames addressed to the module
// (or link-control frames) and carries out the outcome.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "outcome.h"

namespace zvsim {

// The packet kind a frame counts under (report counters and fault rules).
std::string classifyFrame(const Frame& frame);

Outcome handleFrame(ModuleModel& module, const HandlerContext& context, const Frame& frame);

// One heartbeat: the module's address, 2 data bytes, 0 and the state (0 or 1).
Frame heartbeatFrame(const ModuleModel& module);

// The samples of every stream the module serves, each with its link.
std::vector<std::pair<uint32_t, Frame>> streamSamples(const ModuleModel& module, uint64_t nowMs);

}  // namespace zvsim
