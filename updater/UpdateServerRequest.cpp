#include "UpdateServerRequest.h"

#include <algorithm>
#include <stdexcept>

#include "Log.h"
#include "aVersion.h"

namespace {

// Three numbers of a version text; throws when a part is not a number.
bool versionParts(const std::string& version, unsigned parts[3]) {
    auto split = UpdateServerRequest::SplitZentroviaVersion(version);
    if (split.size() != 3) return false;
    for (int i = 0; i < 3; ++i) {
        size_t used = 0;
        parts[i] = static_cast<unsigned>(std::stoul(split[i], &used, 10));
        if (used != split[i].size()) throw std::invalid_argument("stoul");
    }
    return true;
}

// True when a's version is newer than b's.
bool newerFirst(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
    unsigned va[3], vb[3];
    try {
        bool okA = versionParts(a.second, va);
        bool okB = versionParts(b.second, vb);
        if (!okA || !okB) return false;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return false;
    }
    return !aVersion_IsAtLeastCompare(static_cast<uint8_t>(vb[0]), static_cast<uint8_t>(vb[1]),
                                      static_cast<uint8_t>(vb[2]), static_cast<uint8_t>(va[0]),
                                      static_cast<uint8_t>(va[1]), static_cast<uint8_t>(va[2]));
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitZentroviaVersion(std::string version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(const BuildMap& builds) {
    std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
    // Versions that do not parse compare equal to everything, which is not a
    // strict weak order; a merge sort stays within bounds and keeps map order for them.
    std::stable_sort(sorted.begin(), sorted.end(), newerFirst);
    return sorted;
}
