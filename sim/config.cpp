#include "config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "system_options.h"

namespace zvsim {
namespace {

bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    value = v;
    return true;
}

template <typename T>
bool number(const std::string& key, const std::string& text, T& out, std::string& error,
            uint64_t max = static_cast<T>(~T{0})) {
    uint64_t v = 0;
    if (!parseNumber(text, max, v)) {
        error = "bad value for " + key + ": '" + text + "'";
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

bool parseSerial(const std::string& text, uint32_t& serial) {
    std::string hex = text;
    if (hex.rfind("0x", 0) == 0 || hex.rfind("0X", 0) == 0) hex = hex.substr(2);
    if (hex.empty() || hex.size() > 8 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    serial = static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
    return serial != 0;
}

bool parseVersion(const std::string& text, uint32_t& word) {
    unsigned major = 0, minor = 0, patch = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &tail) == 3) {
        if (major > 255 || minor > 255 || patch > 255) return false;
        word = packVersion(major, minor, patch);
        return true;
    }
    uint64_t v = 0;
    if (text.rfind("0x", 0) != 0 || !parseNumber(text, 0xFFFFFFFFu, v)) return false;
    word = static_cast<uint32_t>(v);
    return true;
}

bool parseFlag(const std::string& key, const std::string& text, bool& out, std::string& error) {
    if (text.empty() || text == "1" || text == "yes" || text == "on") {
        out = true;
    } else if (text == "0" || text == "no" || text == "off") {
        out = false;
    } else {
        error = "bad value for " + key + ": '" + text + "' (use 0 or 1)";
        return false;
    }
    return true;
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        out.push_back(static_cast<uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
    }
    return true;
}

bool addFault(FaultType type, const std::string& text, ModuleConfig& m, std::string& error) {
    FaultRule rule;
    if (!parseFaultRule(type, text, rule, error)) return false;
    m.faults.push_back(rule);
    return true;
}

bool applyModuleKey(const std::string& key, const std::string& value, ModuleConfig& m,
                    std::string& error) {
    using Setter = std::function<bool()>;
    const std::map<std::string, Setter> setters = {
        {"serial",
         [&] {
             if (parseSerial(value, m.serial)) return true;
             error = "bad serial number '" + value + "' (up to 8 hex digits, not 0)";
             return false;
         }},
        {"model", [&] { return number(key, value, m.model, error); }},
        {"address", [&] { return number(key, value, m.address, error); }},
        {"version",
         [&] {
             if (parseVersion(value, m.version)) return true;
             error = "bad version '" + value + "' (MAJOR.MINOR.PATCH or 0xWORD)";
             return false;
         }},
        {"build", [&] { return number(key, value, m.build, error); }},
        {"name",
         [&] {
             m.name = value;
             if (m.name.size() <= kMaxNameLength) return true;
             error = "name longer than 32 bytes";
             return false;
         }},
        {"image",
         [&] {
             m.imagePath = value;
             if (!value.empty()) return true;
             error = "image needs a path";
             return false;
         }},
        {"next-version",
         [&] {
             uint32_t w = 0;
             if (!parseVersion(value, w)) {
                 error = "bad version '" + value + "'";
                 return false;
             }
             m.nextVersion = w;
             return true;
         }},
        {"next-build",
         [&] {
             uint32_t b = 0;
             if (!number(key, value, b, error)) return false;
             m.nextBuild = b;
             return true;
         }},
        {"block-size", [&] { return number(key, value, m.blockSize, error); }},
        {"load-base", [&] { return number(key, value, m.loadBase, error); }},
        {"uei-data", [&] { return parseFlag(key, value, m.ueiData, error); }},
        {"pooled", [&] { return parseFlag(key, value, m.pooled, error); }},
        {"loader-serial",
         [&] {
             if (value == "blank" || value == "deaddead") {
                 m.loaderBlankSerial = true;
             } else if (value == "self") {
                 m.loaderBlankSerial = false;
             } else {
                 error = "loader-serial takes blank or self";
                 return false;
             }
             return true;
         }},
        {"load-reply", [&] { return parseFlag(key, value, m.loadReply, error); }},
        {"restart-ms", [&] { return number(key, value, m.restartMs, error, 600000); }},
        {"hb-ms", [&] { return number(key, value, m.heartbeatMs, error, 600000); }},
        {"stream-ms",
         [&] {
             if (!number(key, value, m.streamMs, error, 600000)) return false;
             if (m.streamMs >= 10) return true;
             error = "stream-ms must be at least 10";
             return false;
         }},
        {"stores", [&] { return number(key, value, m.stores, error, 16); }},
        {"slots", [&] { return number(key, value, m.slotsPerStore, error, 64); }},
        {"slot-capacity", [&] { return number(key, value, m.slotCapacity, error); }},
        {"factory",
         [&] {
             const size_t colon = value.find(':');
             uint8_t id = 0;
             std::vector<uint8_t> bytes;
             if (colon == std::string::npos ||
                 !number(key, value.substr(0, colon), id, error, 15) ||
                 !parseHexBytes(value.substr(colon + 1), bytes) || bytes.size() > 4096) {
                 error = "factory takes ID:HEXBYTES (ID 0 to 15, at most 4096 bytes)";
                 return false;
             }
             m.factoryData[id] = bytes;
             return true;
         }},
        {"tcp",
         [&] {
             m.tcp = true;
             return value.empty() || number(key, value, m.tcpPort, error);
         }},
        {"multicast", [&] { return parseFlag(key, value, m.multicast, error); }},
        {"serial-pty",
         [&] {
             m.serialPty = true;
             m.serialLink = value;
             return true;
         }},
        {"node",
         [&] {
             m.node = true;
             if (!value.empty()) m.nodeTemplate = value;
             return true;
         }},
        {"usb", [&] { return parseFlag(key, value, m.usb, error); }},
        {"behind",
         [&] {
             if (parseSerial(value, m.behind)) return true;
             error = "bad router serial number '" + value + "'";
             return false;
         }},
        {"busy", [&] { return parseFlag(key, value, m.busy, error); }},
        {"drop-reply", [&] { return addFault(FaultType::DropReply, value, m, error); }},
        {"wrong-count", [&] { return addFault(FaultType::WrongCount, value, m, error); }},
        {"corrupt-sum", [&] { return addFault(FaultType::CorruptSum, value, m, error); }},
        {"refuse-prepare", [&] { return addFault(FaultType::RefusePrepare, value, m, error); }},
        {"stall", [&] { return addFault(FaultType::Stall, value, m, error); }},
        {"drop-link", [&] { return addFault(FaultType::DropLink, value, m, error); }},
        {"corrupt-serial", [&] { return addFault(FaultType::CorruptSerial, value, m, error); }},
    };
    auto it = setters.find(key);
    if (it == setters.end()) {
        error = "unknown module key '" + key + "'";
        return false;
    }
    return it->second();
}

bool applyGlobalKey(const std::string& key, const std::string& value, SimConfig& c,
                    std::string& error) {
    in_addr probe{};
    if (key == "report") {
        c.reportPath = value;
    } else if (key == "multicast-group") {
        if (inet_pton(AF_INET, value.c_str(), &probe) != 1) {
            error = "bad multicast group '" + value + "'";
            return false;
        }
        c.multicastGroup = value;
    } else if (key == "multicast-port") {
        return number(key, value, c.multicastPort, error);
    } else if (key == "multicast-reply-port") {
        return number(key, value, c.multicastReplyPort, error);
    } else if (key == "tcp-bind") {
        if (inet_pton(AF_INET, value.c_str(), &probe) != 1) {
            error = "bad bind address '" + value + "'";
            return false;
        }
        c.tcpBind = value;
    } else if (key == "usb-dir") {
        c.usbDir = value;
    } else if (key == "verbose") {
        return parseFlag(key, value, c.verbose, error);
    } else {
        error = "unknown setting '" + key + "'";
        return false;
    }
    return true;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

void splitKeyValue(const std::string& item, std::string& key, std::string& value, char sep) {
    const size_t eq = item.find(sep);
    key = trim(item.substr(0, eq));
    value = eq == std::string::npos ? std::string() : trim(item.substr(eq + 1));
}

ModuleConfig defaultModule() {
    ModuleConfig m;
    m.version = packVersion(2, 12, 5);
    return m;
}

}  // namespace

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
    return (major & 0xF) << 28 | (minor & 0xF) << 24 | (patch & 0xFF);
}

std::string versionText(uint32_t w) {
    const unsigned top = w >> 28, second = (w >> 24) & 0xF;
    const bool legacy = top < 2 || (top == 2 && second < 15);
    char buf[32];
    if (legacy)
        std::snprintf(buf, sizeof buf, "%u.%u.%u", top, second, w & 0xFFFFFF);
    else
        std::snprintf(buf, sizeof buf, "%u.%u.%u", (w >> 16) & 0xFF, (w >> 8) & 0xFF, w & 0xFF);
    return buf;
}

bool parseModuleKeys(const std::string& keys, ModuleConfig& module, std::string& error) {
    module = defaultModule();
    std::string item;
    auto flush = [&]() {
        std::string key, value;
        splitKeyValue(item, key, value, '=');
        item.clear();
        if (key.empty()) return true;
        return applyModuleKey(key, value, module, error);
    };
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == '\\' && i + 1 < keys.size()) {
            item += keys[++i];
        } else if (keys[i] == ',') {
            if (!flush()) return false;
        } else {
            item += keys[i];
        }
    }
    if (!flush()) return false;
    if (module.serial == 0) {
        error = "a module needs serial=HEX";
        return false;
    }
    return true;
}

bool parseConfigFile(const std::string& path, SimConfig& config, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read configuration file '" + path + "'";
        return false;
    }
    std::string line;
    int number = 0;
    ModuleConfig* current = nullptr;
    std::vector<ModuleConfig> modules;
    auto closeModule = [&]() {
        if (current && current->serial == 0) {
            error = path + ": a [module] section needs serial = HEX";
            return false;
        }
        return true;
    };
    while (std::getline(in, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = trim(line);
        if (line.empty()) continue;
        if (line == "[module]") {
            if (!closeModule()) return false;
            modules.push_back(defaultModule());
            current = &modules.back();
            continue;
        }
        std::string key, value;
        splitKeyValue(line, key, value, '=');
        const bool ok = current ? applyModuleKey(key, value, *current, error)
                                : applyGlobalKey(key, value, config, error);
        if (!ok) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    if (!closeModule()) return false;
    config.modules.insert(config.modules.end(), modules.begin(), modules.end());
    return true;
}

bool parseCommandLine(int argc, char** argv, SimConfig& config, std::string& error) {
    const std::map<std::string, std::string> globals = {
        {"--report", "report"},
        {"--multicast-group", "multicast-group"},
        {"--multicast-port", "multicast-port"},
        {"--multicast-reply-port", "multicast-reply-port"},
        {"--tcp-bind", "tcp-bind"},
        {"--usb-dir", "usb-dir"},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            config.help = true;
            return true;
        }
        if (arg == "--verbose" || arg == "-v") {
            config.verbose = true;
            continue;
        }
        const bool takesValue = arg == "--module" || arg == "--config" || globals.count(arg);
        if (!takesValue) {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--module") {
            ModuleConfig m;
            if (!parseModuleKeys(value, m, error)) return false;
            config.modules.push_back(m);
        } else if (arg == "--config") {
            if (!parseConfigFile(value, config, error)) return false;
        } else if (!applyGlobalKey(globals.at(arg), value, config, error)) {
            return false;
        }
    }
    return true;
}

bool validateConfig(const SimConfig& config, std::string& error) {
    if (config.modules.empty()) {
        error = "no modules given (use --module or --config)";
        return false;
    }
    std::set<uint32_t> serials;
    for (const ModuleConfig& m : config.modules) {
        char sn[16];
        std::snprintf(sn, sizeof sn, "%08X", m.serial);
        if (!serials.insert(m.serial).second) {
            error = std::string("serial number ") + sn + " given twice";
            return false;
        }
        if (m.address == 0 || m.address % 2 || m.address == 0xFE) {
            error = std::string("module ") + sn + ": address must be even, 2 to 252";
            return false;
        }
    }
    for (const ModuleConfig& m : config.modules) {
        char sn[16];
        std::snprintf(sn, sizeof sn, "%08X", m.serial);
        const bool attached = m.tcp || m.serialPty || m.node || m.usb;
        if (m.behind == 0) {
            if (!attached) {
                error = std::string("module ") + sn +
                        " has no attachment (tcp, serial-pty, node, usb or behind)";
                return false;
            }
            continue;
        }
        if (attached) {
            error =
                std::string("module ") + sn + " sits behind a router and cannot have attachments";
            return false;
        }
        const ModuleConfig* router = nullptr;
        for (const ModuleConfig& r : config.modules)
            if (r.serial == m.behind) router = &r;
        if (!router || router->behind != 0) {
            error = std::string("module ") + sn + ": its router is not a directly attached module";
            return false;
        }
        for (const ModuleConfig& other : config.modules) {
            const bool sameNetwork =
                &other != &m && (other.behind == m.behind || other.serial == m.behind);
            if (sameNetwork && other.address == m.address) {
                error =
                    std::string("module ") + sn + ": address already used on its router's network";
                return false;
            }
        }
    }
    for (const ModuleConfig& m : config.modules) {
        if (m.usb && config.usbDir.empty()) {
            error = "usb attachments need --usb-dir DIR";
            return false;
        }
    }
    return true;
}

const char* usageText() {
    return R"(Usage: zvsim [options] --module KEYS [--module KEYS ...]
       zvsim [options] --config FILE

Simulates instrument modules for the updater and its device library.
SIGINT and SIGTERM stop the simulator; SIGUSR1 writes the report at once.

Standard output carries one line per event (diagnostics go to standard error):
  ready KIND SERIAL ENDPOINT   an attachment serves, e.g.
                               ready tcp 40F5849A 127.0.0.1:40123
                               (KIND: tcp multicast serial node usb i2c)
  started modules=N            everything is up
  down SERIAL REASON           a module restarts (load, reboot or reset)
  up SERIAL PHASE CURRENT build=N
                               it is back, running firmware or its loader,
                               under the CURRENT serial number
  report FILE                  the report was written

Options:
  --module KEYS              add a module; KEYS are key=value pairs separated by
                             commas (a backslash escapes a comma)
  --config FILE              read settings and [module] sections from FILE
  --report FILE              write the JSON report there on exit and on SIGUSR1
  --multicast-group ADDR     legacy discovery group (default 232.2.2.2)
  --multicast-port N         legacy discovery request port (default 9888; 0 = any)
  --multicast-reply-port N   port replies are sent to (default 9889)
  --tcp-bind ADDR            address the TCP listeners bind to (default 127.0.0.1)
  --usb-dir DIR              device socket directory of the libusb stand-in
                             (its ZV_FAKE_USB_DIR)
  --verbose, -v              log every frame to standard error
  --help, -h                 this text

Module keys (identity):
  serial=HEX                 serial number (required)
  model=N                    model code (default 4)
  address=N                  module address, even (default 2)
  version=X.Y.Z|0xWORD       firmware version (default 2.12.5)
  build=N                    firmware build number (default 1)
  name=TEXT                  device name, at most 32 bytes
  image=PATH                 firmware image the module runs (its hash is reported)

Module keys (upgrade):
  next-version=X.Y.Z         version after a REBOOT that followed writes
  next-build=N               build after a REBOOT that followed writes
  block-size=N               block size answered to PREPARE (default 1024)
  load-base=N                loader load base answered to INIT (default 0x20000000)
  uei-data=0|1               implement the UEI bytes data transfer (default 0)
  pooled=0|1                 announce pooled packets (default 0)
  loader-serial=blank|self   serial number of the loader (default blank: DEADDEAD)
  load-reply=0|1             answer LOAD before restarting (default 1)
  restart-ms=N               time a module stays down when it restarts; its
                             links drop right after its last answer (default 200)

Module keys (traffic and storage):
  hb-ms=N                    heartbeat interval, 0 = none (default 1000)
  stream-ms=N                stream sample interval (default 100)
  stores=N, slots=N          store slots: stores and slots per store (2, 8)
  slot-capacity=N            bytes per slot (default 4096)
  factory=ID:HEX             factory data item ID (0 to 15)

Module keys (attachments):
  tcp[=PORT]                 legacy Ethernet module: TCP listener with raw frames
  multicast=0|1              with tcp: answer legacy discovery (default 1)
  serial-pty[=LINK]          pseudo-terminal carrying COBS frames with CRC-8
  node[=TEMPLATE]            kernel driver node: a pseudo-terminal symlinked at
                             TEMPLATE (%08X = serial; default /dev/zentrovia.%08X)
  usb                        USB device through the libusb stand-in: a socket
                             named SERIAL.sock in the --usb-dir directory
  behind=HEX                 sits on the I2C network of the router with that serial

Module keys (faults; RULE is KIND@N for the Nth packet of KIND only, KIND%N
for every Nth; kinds: sync force-route hb get set info echo slot factory i2c
stream store init prepare data data-uei sum write load reboot unknown any):
  drop-reply=RULE            do not answer that packet
  wrong-count=@N|%N          answer a DATA packet with a wrong count
  corrupt-sum=@N|%N          answer a SUM with a wrong sum
  refuse-prepare=@N|%N       refuse a PREPARE
  stall=RULE[:MS]            stop answering from that packet on, for MS ms
                             (for good without MS or with 0)
  drop-link=RULE             cut the host link at that packet
  corrupt-serial=@N|%N       damage an outgoing serial block
  busy=1                     refuse a second opener: tcp resets a second
                             connection, usb fails a second claim as busy,
                             node makes the terminal exclusive while a host
                             talks (root is exempt from that)
A key may be repeated to add several fault rules.
)";
}

}  // namespace zvsim
