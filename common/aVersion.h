// Version words and the library's own version.
//
// A version word packs major, minor and patch in one of two layouts:
//   legacy:  major (bits 28-31), minor (bits 24-27), patch (bits 0-23)
//   current: 0x2F in the top byte, major (16-23), minor (8-15), patch (0-7)
// The current layout's top byte read as a legacy word is 2.15, so every word
// below 2.15 in legacy reading is legacy and everything else is current.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Number of entries of the feature table.
inline constexpr int NUM_FEATS = 1;

// Current layout for versions from 2.15 on, legacy below (patch cut to 8 bits
// and minor to 4 bits there).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
// Up to 24 bits for a legacy word.
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" with snprintf semantics and returns its result.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

// The library's own version.
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
// "2.12.5"; a static text built on first use.
const char* aVersion_GetString(void);

// True when have >= need, comparing major, then minor, then patch.
bool aVersion_IsAtLeastCompare(uint8_t haveMajor, uint8_t haveMinor, uint8_t havePatch,
                               uint8_t needMajor, uint8_t needMinor, uint8_t needPatch);
// aVersion_IsAtLeastCompare against the library's own version.
bool aVersion_IsAtLeast(uint8_t needMajor, uint8_t needMinor, uint8_t needPatch);

// True when `name` is exactly a feature name of the table.
bool aVersion_HasFeature(const char* name);
// New heap text, one "NAME - description" line per feature, no newline after
// the last; null when memory is exhausted. Release with
// aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
aErr aVersion_DestroyFeatureList(char** list);
