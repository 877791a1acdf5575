#include "report.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "log.h"
#include "sha256.h"

namespace zvsim {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

template <typename Map>
std::string counters(const Map& map) {
    std::ostringstream o;
    o << "{";
    bool first = true;
    for (const auto& [key, value] : map) {
        o << (first ? "" : ", ") << quoted(key) << ": " << value;
        first = false;
    }
    o << "}";
    return o.str();
}

void writeModule(std::ostringstream& o, const ReportModule& r) {
    const ModuleModel& m = *r.model;
    const ModuleConfig& c = m.config();
    o << "    {\n";
    o << "      \"serial\": " << quoted(serialText(c.serial)) << ",\n";
    o << "      \"currentSerial\": " << quoted(serialText(m.serial())) << ",\n";
    o << "      \"address\": " << unsigned(m.address()) << ",\n";
    o << "      \"model\": " << unsigned(c.model) << ",\n";
    o << "      \"router\": " << quoted(r.routerSerial ? serialText(r.routerSerial) : "") << ",\n";
    o << "      \"up\": " << (r.up ? "true" : "false") << ",\n";
    o << "      \"phase\": " << quoted(m.phase() == Phase::Loader ? "loader" : "firmware") << ",\n";
    o << "      \"version\": " << quoted(versionText(m.version())) << ",\n";
    o << "      \"versionWord\": " << m.version() << ",\n";
    o << "      \"build\": " << m.build() << ",\n";
    o << "      \"name\": " << quoted(std::string(m.settings.name.begin(), m.settings.name.end()))
      << ",\n";
    if (r.imageSha256.empty())
        o << "      \"image\": null,\n";
    else
        o << "      \"image\": {\"length\": " << r.imageSize
          << ", \"sha256\": " << quoted(r.imageSha256) << "},\n";
    o << "      \"restarts\": " << counters(m.restarts) << ",\n";
    o << "      \"flashed\": [";
    bool first = true;
    for (const auto& [address, bytes] : m.upgrade.flash().regions()) {
        o << (first ? "\n" : ",\n") << "        {\"address\": " << address
          << ", \"length\": " << bytes.size() << ", \"sha256\": " << quoted(sha256Hex(bytes))
          << "}";
        first = false;
    }
    o << (first ? "],\n" : "\n      ],\n");
    o << "      \"loaderBlocks\": [";
    first = true;
    for (const ReceivedBlock& b : m.upgrade.loaderBlocks()) {
        o << (first ? "\n" : ",\n") << "        {\"address\": " << b.address
          << ", \"flags\": " << unsigned(b.flags) << ", \"length\": " << b.length
          << ", \"sha256\": " << quoted(b.sha256) << "}";
        first = false;
    }
    o << (first ? "],\n" : "\n      ],\n");
    o << "      \"packets\": " << counters(m.packets) << ",\n";
    o << "      \"heartbeats\": {\"sent\": " << m.heartbeat.sent
      << ", \"answered\": " << m.heartbeat.answered << ", \"missed\": " << m.heartbeat.missed
      << "},\n";
    o << "      \"faultsInjected\": " << m.faults.injected() << ",\n";
    o << "      \"ignoredFrames\": " << m.ignoredFrames << "\n";
    o << "    }";
}

}  // namespace

std::string reportJson(const std::vector<ReportModule>& modules) {
    std::ostringstream o;
    o << "{\n  \"modules\": [\n";
    for (size_t i = 0; i < modules.size(); ++i) {
        writeModule(o, modules[i]);
        o << (i + 1 < modules.size() ? ",\n" : "\n");
    }
    o << "  ]\n}\n";
    return o.str();
}

bool writeReportFile(const std::string& path, const std::vector<ReportModule>& modules,
                     std::string& error) {
    const std::string text = reportJson(modules);
    const std::string temporary = path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "w");
    if (!f) {
        error = "cannot write report " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write report " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace zvsim
