#include "aVersion.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint8_t kPatch = 5;
constexpr const char* kPhase = ".";

// The current layout's marker byte, which a legacy reader sees as 2.15.
constexpr uint32_t kCurrentTag = 0x2Fu << 24;
constexpr uint8_t kFirstCurrentMajor = 2;
constexpr uint8_t kFirstCurrentMinor = 15;

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature kFeatures[NUM_FEATS] = {
    {"VERSION", "Version Query API"},
};

uint8_t sLegacyMajor(uint32_t version) {
    return static_cast<uint8_t>(version >> 28);
}
uint8_t sLegacyMinor(uint32_t version) {
    return static_cast<uint8_t>((version >> 24) & 0x0F);
}

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > kFirstCurrentMajor || (major == kFirstCurrentMajor && minor >= kFirstCurrentMinor))
        return kCurrentTag | uint32_t{major} << 16 | uint32_t{minor} << 8 | patch;
    return uint32_t{major} << 28 | uint32_t{minor & 0x0Fu} << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    const uint8_t major = sLegacyMajor(version);
    return major < kFirstCurrentMajor ||
           (major == kFirstCurrentMajor && sLegacyMinor(version) < kFirstCurrentMinor);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    if (aVersion_IsLegacyFormat(version)) return sLegacyMajor(version);
    return static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    if (aVersion_IsLegacyFormat(version)) return sLegacyMinor(version);
    return static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    if (aVersion_IsLegacyFormat(version)) return version & 0x00FFFFFFu;
    return version & 0xFFu;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    return std::snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(version),
                         aVersion_ParseMinor(version),
                         static_cast<unsigned>(aVersion_ParsePatch(version)));
}

uint8_t aVersion_GetMajor(void) {
    return kMajor;
}
uint8_t aVersion_GetMinor(void) {
    return kMinor;
}
uint8_t aVersion_GetPatch(void) {
    return kPatch;
}

const char* aVersion_GetString(void) {
    // Built once; the static's initialisation is thread-safe.
    static const std::array<char, 15> text = [] {
        std::array<char, 15> buffer{};
        std::snprintf(buffer.data(), buffer.size(), "%d.%d%s%d", kMajor, kMinor, kPhase, kPatch);
        return buffer;
    }();
    return text.data();
}

bool aVersion_IsAtLeastCompare(uint8_t haveMajor, uint8_t haveMinor, uint8_t havePatch,
                               uint8_t needMajor, uint8_t needMinor, uint8_t needPatch) {
    if (haveMajor != needMajor) return haveMajor > needMajor;
    if (haveMinor != needMinor) return haveMinor > needMinor;
    return havePatch >= needPatch;
}

bool aVersion_IsAtLeast(uint8_t needMajor, uint8_t needMinor, uint8_t needPatch) {
    return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, needMajor, needMinor, needPatch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const Feature& feature : kFeatures) {
        if (std::strcmp(feature.name, name) == 0) return true;
    }
    return false;
}

char* aVersion_GetFeatureList(void) {
    std::string text;
    for (const Feature& feature : kFeatures) {
        if (!text.empty()) text += '\n';
        text += feature.name;
        text += " - ";
        text += feature.description;
    }
    char* list = new (std::nothrow) char[text.size() + 1];
    if (!list) return nullptr;
    std::memcpy(list, text.c_str(), text.size() + 1);
    return list;
}

aErr aVersion_DestroyFeatureList(char** list) {
    if (!list || !*list) return aErrParam;
    delete[] * list;
    *list = nullptr;
    return aErrNone;
}
