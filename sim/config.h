// Command line and configuration file of zvsim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module_config.h"

namespace zvsim {

struct SimConfig {
    std::vector<ModuleConfig> modules;
    std::string reportPath;
    std::string multicastGroup = "232.2.2.2";
    uint16_t multicastPort = 9888;
    uint16_t multicastReplyPort = 9889;
    std::string tcpBind = "127.0.0.1";
    std::string usbDir;  // device socket directory of the libusb stand-in
    bool verbose = false;
    bool help = false;
};

// Parses argv; false with a message in `error` on any bad input.
bool parseCommandLine(int argc, char** argv, SimConfig& config, std::string& error);
// Parses one "key=value,key=value" module description into `module`.
bool parseModuleKeys(const std::string& keys, ModuleConfig& module, std::string& error);
// Reads a configuration file: global "key = value" lines, then "[module]"
// sections of module keys. '#' starts a comment.
bool parseConfigFile(const std::string& path, SimConfig& config, std::string& error);
// Cross-checks the modules (unique serials, routers present, even addresses).
bool validateConfig(const SimConfig& config, std::string& error);

const char* usageText();

}  // namespace zvsim
