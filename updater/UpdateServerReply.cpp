#include "UpdateServerReply.h"

#include <cerrno>
#include <cstdlib>

#include "Log.h"

namespace ServerReply {

namespace {

// strtoul with C number syntax, limited to 32 bits; bad text gives 0.
uint32_t toUnsigned(const std::string& text, int base) {
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, base);
    if (end == text.c_str() || errno == ERANGE || v > 0xFFFFFFFFull) return 0;
    return static_cast<uint32_t>(v);
}

}  // namespace

std::vector<std::string> Lines(const std::string& body) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        if (end > start) lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool IsOk(const std::vector<std::string>& lines) { return !lines.empty() && lines[0].compare(0, 2, "ok") == 0; }

std::string UpToLineEnd(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

void QueryBuild(const std::vector<std::string>& lines, std::string& build, std::string& firmware) {
    if (lines.size() > 1) build = UpToLineEnd(lines[1]);
    if (lines.size() > 2) firmware = UpToLineEnd(lines[2]);
}

std::string Package(const std::vector<std::string>& lines) {
    return lines.size() > 1 ? UpToLineEnd(lines[1]) : std::string();
}

void BuildList(const std::vector<std::string>& lines, std::map<std::string, std::string>& builds) {
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        size_t cut = line.find_first_of(";\r\n");
        std::string build = line.substr(0, cut);
        std::string version;
        if (cut != std::string::npos && line[cut] == ';') version = UpToLineEnd(line.substr(cut + 1));
        version = version.substr(0, version.find(';'));
        if (build.empty()) continue;
        builds.emplace(build, version);  // the first entry for a build stays
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
    }
}

void RecoveryInfo(const std::vector<std::string>& lines, uint32_t& serial, uint32_t& build) {
    if (lines.size() > 1) serial = toUnsigned(lines[1], 16);
    if (lines.size() > 2) build = toUnsigned(lines[2], 0);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines.empty() ? "" : lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
}

bool DeviceJWT(const std::vector<std::string>& lines, std::string& token) {
    if (lines.size() < 2 || lines[1].size() <= 2) return false;
    const std::string& line = lines[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
    size_t first = line.find('.');
    if (first == std::string::npos) return false;
    size_t second = line.find('.', first + 1);
    if (second == std::string::npos) return false;
    std::string header = line.substr(0, first);
    std::string payload = line.substr(first + 1, second - first - 1);
    std::string signature = UpToLineEnd(line.substr(second + 1));
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
    token = header + "." + payload + "." + signature;
    return true;
}

}  // namespace ServerReply
