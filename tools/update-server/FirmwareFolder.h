// The firmware folder a reference update server serves from:
//   ROOT/<SERIAL>/*.bird      packages for one device (serial "%08X")
//   ROOT/<SERIAL>/token.jwt   the device's token (optional; one is made up otherwise)
//   ROOT/recovery.txt         "W0 W1 W2 W3 SERIAL BUILD" per line, hexadecimal
//                             words and serial, decimal build; '#' starts a comment
// Build numbers and versions come from each package's own build information.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct PackageEntry {
    uint32_t build = 0;
    std::string version;
    std::string path;
};

struct RecoveryEntry {
    uint32_t words[4] = {0, 0, 0, 0};
    uint32_t serial = 0;
    uint32_t build = 0;
};

class FirmwareFolder {
public:
    explicit FirmwareFolder(std::string root) : root_(std::move(root)) {}

    // Packages of a device by build number; unreadable files are skipped
    // (and reported through `problems`).
    std::map<uint32_t, PackageEntry> Packages(uint32_t serial, std::vector<std::string>* problems = nullptr) const;
    std::optional<std::string> Token(uint32_t serial) const;
    std::vector<RecoveryEntry> Recovery(std::vector<std::string>* problems = nullptr) const;
    const std::string& root() const { return root_; }

private:
    std::string root_;
};
