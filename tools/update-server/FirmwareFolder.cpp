#include "FirmwareFolder.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "BirdFile.h"

namespace {

std::string serialDirectory(const std::string& root, uint32_t serial) {
    char name[9];
    snprintf(name, sizeof name, "%08X", serial);
    return root + "/" + name;
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::map<uint32_t, PackageEntry> FirmwareFolder::Packages(uint32_t serial, std::vector<std::string>* problems) const {
    std::map<uint32_t, PackageEntry> packages;
    std::string dir = serialDirectory(root_, serial);
    DIR* d = opendir(dir.c_str());
    if (!d) return packages;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (!endsWith(name, ".bird")) continue;
        std::string path = dir + "/" + name;
        try {
            if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("not a BIRD file");
            BirdFile bird(path.c_str());
            PackageEntry entry{bird.GetBuild(), bird.GetVersion(), path};
            if (entry.build == 0) throw std::runtime_error("no build number in its build information");
            packages.emplace(entry.build, entry);
        } catch (const std::exception& ex) {
            if (problems) problems->push_back(path + ": " + ex.what());
        }
    }
    closedir(d);
    return packages;
}

std::optional<std::string> FirmwareFolder::Token(uint32_t serial) const {
    std::ifstream in(serialDirectory(root_, serial) + "/token.jwt");
    if (!in) return std::nullopt;
    std::string token;
    std::getline(in, token);
    return token;
}

std::vector<RecoveryEntry> FirmwareFolder::Recovery(std::vector<std::string>* problems) const {
    std::vector<RecoveryEntry> entries;
    std::ifstream in(root_ + "/recovery.txt");
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream fields(line);
        RecoveryEntry e;
        fields >> std::hex >> e.words[0] >> e.words[1] >> e.words[2] >> e.words[3] >> e.serial >> std::dec >> e.build;
        if (fields.fail()) {
            if (problems) problems->push_back("recovery.txt line " + std::to_string(number) + ": malformed");
            continue;
        }
        entries.push_back(e);
    }
    return entries;
}
