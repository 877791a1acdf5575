#include "Responder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Base64.h"

namespace {

Reply refuse(const std::string& why) { return {200, "error: " + why + "\n"}; }

bool parseSerial(const std::string& text, uint32_t& serial) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
        return false;
    serial = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
    return true;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string encode(const std::string& bytes) {
    unsigned long length = 0;
    char* text = base64_encode(bytes.data(), bytes.size(), &length);
    std::string out = text ? std::string(text, length) : std::string();
    free(text);
    return out;
}

// base64url without padding, for the made-up token parts.
std::string urlPart(const std::string& text) {
    std::string s = encode(text);
    while (!s.empty() && s.back() == '=') s.pop_back();
    for (char& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return s;
}

}  // namespace

bool ParseFault(const std::string& text, std::string& operation, Fault& fault) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    operation = text.substr(0, eq);
    std::string kind = text.substr(eq + 1);
    static const std::map<std::string, Fault> kinds = {
        {"http500", Fault::Http500},          {"refuse", Fault::Refuse},       {"empty-package", Fault::EmptyPackage},
        {"bad-base64", Fault::BadBase64},     {"damaged-package", Fault::DamagedPackage}, {"stall", Fault::Stall},
    };
    auto it = kinds.find(kind);
    if (it == kinds.end()) return false;
    fault = it->second;
    return true;
}

Fault Responder::FaultFor(const std::string& operation) const {
    auto it = faults_.find(operation);
    if (it != faults_.end()) return it->second;
    it = faults_.find("any");
    return it == faults_.end() ? Fault::None : it->second;
}

Reply Responder::Answer(const std::map<std::string, std::string>& query) const {
    auto get = [&](const char* key) {
        auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    std::string op = get("op");
    Fault fault = FaultFor(op);
    if (fault == Fault::Http500) return {500, "internal error\n"};
    if (fault == Fault::Refuse) return refuse("refused by request");

    if (op == "hi") return Ping();
    if (op == "fix") return RecoveryInfo(get("fp"));
    uint32_t serial = 0;
    if (!parseSerial(get("sn"), serial)) return refuse("missing or malformed serial number");
    if (op == "qu") return QueryBuild(serial);
    if (op == "bird") return GetBuild(serial, get("bld"), fault);
    if (op == "builds") return BuildList(serial);
    if (op == "ent_jwt") return DeviceToken(serial);
    return refuse("unknown operation");
}

Reply Responder::Ping() const { return {200, "ok\nhello\n"}; }

Reply Responder::QueryBuild(uint32_t serial) const {
    auto packages = folder_.Packages(serial);
    if (packages.empty()) return refuse("no firmware for this device");
    uint32_t newest = packages.rbegin()->first;
    return {200, "ok\n" + std::to_string(newest) + "\nzvfw-" + std::to_string(newest) + "\n"};
}

Reply Responder::GetBuild(uint32_t serial, const std::string& buildText, Fault fault) const {
    if (fault == Fault::EmptyPackage) return {200, "ok\n\n"};
    if (fault == Fault::BadBase64) return {200, "ok\nthis is not base64!\n"};
    auto packages = folder_.Packages(serial);
    char* end = nullptr;
    unsigned long build = strtoul(buildText.c_str(), &end, 10);
    if (buildText.empty() || *end != '\0') return refuse("malformed build number");
    auto it = packages.find(static_cast<uint32_t>(build));
    if (it == packages.end()) return refuse("no such build for this device");
    std::string bytes = readAll(it->second.path);
    if (fault == Fault::DamagedPackage && bytes.size() > 8) {
        // Keep the header, cut the compressed payload short.
        bytes.resize(bytes.size() / 2);
        bytes[6] ^= 0x55;
    }
    return {200, "ok\n" + encode(bytes) + "\n"};
}

Reply Responder::BuildList(uint32_t serial) const {
    auto packages = folder_.Packages(serial);
    std::string body = "ok\n";
    for (const auto& [build, entry] : packages) body += std::to_string(build) + ";" + entry.version + "\n";
    return {200, body};
}

Reply Responder::RecoveryInfo(const std::string& fingerprint) const {
    uint32_t words[4];
    if (sscanf(fingerprint.c_str(), "%8x%%20%8x%%20%8x%%20%8x", &words[0], &words[1], &words[2], &words[3]) != 4 &&
        sscanf(fingerprint.c_str(), "%8x %8x %8x %8x", &words[0], &words[1], &words[2], &words[3]) != 4)
        return refuse("malformed fingerprint");
    for (const auto& e : folder_.Recovery()) {
        if (e.words[0] == words[0] && e.words[1] == words[1] && e.words[2] == words[2] && e.words[3] == words[3]) {
            char serial[9];
            snprintf(serial, sizeof serial, "%08X", e.serial);
            return {200, std::string("ok\n") + serial + "\n" + std::to_string(e.build) + "\n"};
        }
    }
    return refuse("unknown fingerprint");
}

Reply Responder::DeviceToken(uint32_t serial) const {
    if (auto token = folder_.Token(serial)) return {200, "ok\n" + *token + "\n"};
    if (folder_.Packages(serial).empty()) return refuse("unknown device");
    char sn[9];
    snprintf(sn, sizeof sn, "%08X", serial);
    // An unsigned stand-in token: the reference server holds no signing key.
    std::string token = urlPart("{\"alg\":\"none\",\"typ\":\"JWT\"}") + "." +
                        urlPart(std::string("{\"sn\":\"") + sn + "\",\"features\":[]}") + "." + urlPart("unsigned");
    return {200, "ok\n" + token + "\n"};
}
