// Client side of the update server's request set.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    using BuildMap = std::map<std::string, std::string>;  // build text -> version text

    // The map's pairs, newest version first.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(const BuildMap& builds);
    // "2.12.5" -> {"2", "12", "5"}; empty unless there are exactly three parts.
    static std::vector<std::string> SplitZentroviaVersion(std::string version);
};
