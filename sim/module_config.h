// What one simulated module is: identity, behaviour knobs, attachments and
// faults, as given on the command line or in a configuration file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"

namespace zvsim {

// Serial number a module presents when it has none (a loader or a blank part).
inline constexpr uint32_t kBlankSerial = 0xDEADDEAD;

struct ModuleConfig {
    // Identity.
    uint32_t serial = 0;
    uint8_t model = 4;
    uint8_t address = 2;
    uint32_t version = 0;  // packed version word
    uint32_t build = 1;
    std::string name;
    std::string imagePath;  // firmware the module runs at start (reported only)

    // Upgrade behaviour.
    std::optional<uint32_t> nextVersion;  // after a REBOOT that followed writes
    std::optional<uint32_t> nextBuild;
    uint16_t blockSize = 1024;
    uint32_t loadBase = 0x20000000;
    bool ueiData = false;           // implements the upgrade's UEI bytes transfer
    bool pooled = false;            // announces pooled packets in the protocol features
    bool loaderBlankSerial = true;  // the loader comes up as 0xDEADDEAD
    bool loadReply = true;          // LOAD is answered before the restart
    uint32_t restartMs = 200;       // time spent restarting (LOAD, REBOOT, reset)

    // Periodic traffic.
    uint32_t heartbeatMs = 1000;  // 0: no heartbeats
    uint32_t streamMs = 100;

    // Storage.
    uint8_t stores = 2;
    uint8_t slotsPerStore = 8;
    uint16_t slotCapacity = 4096;
    std::map<uint8_t, std::vector<uint8_t>> factoryData;

    // Attachments.
    bool tcp = false;
    uint16_t tcpPort = 0;   // 0: any free port
    bool multicast = true;  // with tcp: answer legacy discovery requests
    bool serialPty = false;
    std::string serialLink;  // optional symlink to the serial pty
    bool node = false;
    std::string nodeTemplate = "/dev/zentrovia.%08X";
    bool usb = false;
    uint32_t behind = 0;  // serial number of the router this module sits behind

    // Faults.
    bool busy = false;  // a second opener of an attachment is refused
    std::vector<FaultRule> faults;
};

// Version words: the current layout for versions from 2.15 on, the legacy
// one below.
uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);
std::string versionText(uint32_t word);

}  // namespace zvsim
