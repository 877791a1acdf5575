// Diagnostics on standard error; standard output carries only the
// machine-readable lines (ready, down, up, report, started).
#pragma once

#include <string>

#include "frame.h"

namespace zvsim {

void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string serialText(uint32_t serial);
std::string frameText(const Frame& frame);

}  // namespace zvsim
