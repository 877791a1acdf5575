// Module information (command 73): build number, implemented UEIs, entity
// counts and groups.
#pragma once

#include <optional>

#include "module_model.h"

namespace zvsim {

std::optional<Frame> handleModuleInfo(const ModuleModel& module, const Frame& request);

// Which entity classes a module has and how many of each.
uint8_t entityCount(const ModuleModel& module, uint8_t command);

}  // namespace zvsim
