// The library's debug output: one switch and a category mask, lines on
// standard output.
#pragma once

#include <atomic>
#include <cstdint>

// Debug output is written only while this is set.
extern std::atomic<bool> aZentroviaDebuggingEnable;
// Categories written; a line's category must share a bit with this mask.
extern std::atomic<uint32_t> aZentroviaDebuggingLevel;

inline constexpr uint32_t aDEBUG_LINK = 0x01;    // link engine and registry
inline constexpr uint32_t aDEBUG_PACKET = 0x02;  // frames read, written, heartbeats
inline constexpr uint32_t aDEBUG_SERVER = 0x04;  // link-sharing server

// True when a line of this category would be written; category 0 is written
// whenever the switch is on.
inline bool aDebug_IsOn(uint32_t category) {
    if (!aZentroviaDebuggingEnable.load(std::memory_order_relaxed)) return false;
    return category == 0 || (aZentroviaDebuggingLevel.load(std::memory_order_relaxed) & category);
}

// Writes one formatted text to standard output when the category is on.
// Texts from several threads never interleave.
void aDebug_Printf(uint32_t category, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
