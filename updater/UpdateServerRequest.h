// Client side of the update server's request set: each operation is one GET
// whose reply is lines of text beginning with "ok". A null URL means the
// default server.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    using BuildMap = std::map<std::string, std::string>;  // build text -> version text

    static bool ping(const char* url);
    static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmware, const char* url);
    static bool GetBuild(unsigned int serial, const char* firmware, const char* build, std::string& base64,
                         const char* url, bool noCalibration);
    static bool GetBuildList(unsigned int serial, BuildMap& builds, const char* url);
    static bool GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                                const char* url);
    static bool GetDeviceJWT(unsigned int serial, std::string& token, const char* url);

    // The map's pairs, newest version first; entries without a three-part
    // version follow, in map order.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(const BuildMap& builds);
    // "2.12.5" -> {"2", "12", "5"}; empty unless there are exactly three parts.
    static std::vector<std::string> SplitZentroviaVersion(std::string version);

    // Why the calling thread's last request failed, for the user; empty after success.
    static const std::string& LastError();
};
