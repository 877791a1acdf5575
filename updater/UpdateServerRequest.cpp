#include "UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerHost.h"
#include "UpdateServerReply.h"
#include "aVersion.h"

namespace {

thread_local std::string lastError;

std::string serialText(unsigned int serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The frame every request shares: GET, status 200, first line "ok". Returns
// the reply's lines, or nothing after logging why.
std::optional<std::vector<std::string>> request(const char* operation, const char* url,
                                                const std::map<std::string, std::string>& parameters) {
    lastError.clear();
    std::string base = url ? url : UPDATE_SERVER_HTTP_URL;
    try {
        HTTPResponse response = HTTPRequest::GET(base, parameters);
        if (response.get_status() != 200) {
            if (std::string(operation) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                         response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", operation, static_cast<int>(response.get_status()),
                         response.get_response());
            lastError = "the server answered with HTTP status " + std::to_string(response.get_status());
            return std::nullopt;
        }
        auto lines = ServerReply::Lines(response.body());
        if (!ServerReply::IsOk(lines)) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation,
                     response.get_request().c_str());
            lastError = "the server refused the request";
            if (!lines.empty()) lastError += ": " + ServerReply::UpToLineEnd(lines[0]).substr(0, 200);
            return std::nullopt;
        }
        return lines;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", operation, e.what());
        lastError = e.what();
        return std::nullopt;
    }
}

struct Version {
    bool valid = false;
    unsigned parts[3] = {0, 0, 0};
};

Version parseVersion(const std::string& text, bool& logged) {
    Version v;
    auto split = UpdateServerRequest::SplitZentroviaVersion(text);
    if (split.size() != 3) return v;
    try {
        for (int i = 0; i < 3; ++i) {
            size_t used = 0;
            v.parts[i] = static_cast<unsigned>(std::stoul(split[i], &used, 10));
            if (used != split[i].size()) throw std::invalid_argument("trailing characters in " + split[i]);
        }
        v.valid = true;
    } catch (const std::exception& e) {
        if (!logged) Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        logged = true;
    }
    return v;
}

}  // namespace

const std::string& UpdateServerRequest::LastError() { return lastError; }

bool UpdateServerRequest::ping(const char* url) { return request("ping", url, {{"op", "hi"}, {"rv", "2"}}).has_value(); }

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build, std::string& firmware, const char* url) {
    auto lines = request("QueryBuild", url, {{"op", "qu"}, {"sn", serialText(serial)}});
    if (!lines) return false;
    ServerReply::QueryBuild(*lines, build, firmware);
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* firmware, const char* build, std::string& base64,
                                   const char* url, bool noCalibration) {
    base64.clear();
    auto lines = request("GetBuild", url,
                         {{"bld", build ? build : ""},
                          {"fw", firmware ? firmware : ""},
                          {"no_cal", noCalibration ? "true" : "false"},
                          {"op", "bird"},
                          {"sn", serialText(serial)}});
    if (!lines) return false;
    base64 = ServerReply::Package(*lines);
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial, BuildMap& builds, const char* url) {
    builds.clear();
    auto lines = request("GetBuildList", url, {{"op", "builds"}, {"sn", serialText(serial)}});
    if (!lines) return false;
    ServerReply::BuildList(*lines, builds);
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                                          const char* url) {
    if (!fingerprint || !serial || !build) return false;
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    auto lines = request("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}});
    if (!lines) return false;
    uint32_t s = *serial, b = *build;
    ServerReply::RecoveryInfo(*lines, s, b);
    *serial = s;
    *build = b;
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serial, std::string& token, const char* url) {
    auto lines = request("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", serialText(serial)}});
    if (!lines) return false;
    if (!ServerReply::DeviceJWT(*lines, token)) {
        lastError = "the server's token is malformed";
        return false;
    }
    return true;
}

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
    struct Entry {
        std::pair<std::string, std::string> pair;
        Version version;
    };
    std::vector<Entry> entries;
    for (const auto& pair : builds) {
        bool logged = false;
        entries.push_back({pair, parseVersion(pair.second, logged)});
    }
    // Versioned entries first, newest first (compared as the devices do, by the
    // low byte of each part); the rest keep map order behind them. A strict
    // weak order, so the sort is well defined.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.version.valid != b.version.valid) return a.version.valid;
        if (!a.version.valid) return false;
        const unsigned* va = a.version.parts;
        const unsigned* vb = b.version.parts;
        return !aVersion_IsAtLeastCompare(static_cast<uint8_t>(vb[0]), static_cast<uint8_t>(vb[1]),
                                          static_cast<uint8_t>(vb[2]), static_cast<uint8_t>(va[0]),
                                          static_cast<uint8_t>(va[1]), static_cast<uint8_t>(va[2]));
    });
    std::vector<std::pair<std::string, std::string>> sorted;
    for (auto& e : entries) sorted.push_back(std::move(e.pair));
    return sorted;
}
