#include "ListPrinters.h"

#include <cstdio>
#include <cstring>

#include "UpdateServerRequest.h"
#include "aDefs.h"
#include "aVersion.h"

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;

// __DATE__ is "Mmm dd yyyy" with the day right-aligned in two characters.
const char kBuildDate[] = __DATE__;

}  // namespace

std::string _app_version_text() { return std::string("Version: ") + aVersion_GetString() + " " + kBuildDate; }

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(Info, "%s (%s)", "Updater", _app_version_text().c_str());
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(Info, "(Copyright (c) 2016-%s Veltrina Instruments. All rights reserved.)",
                    kBuildDate + strlen(kBuildDate) - 4);
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp) {
    display.message(Info, "[ %08X %08X %08X %08X ]", fp.words[0], fp.words[1], fp.words[2], fp.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(Info, "%s", token.c_str());
}

void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serial) {
    if (builds.empty()) {
        display.message(Info, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(Info, "Build List for device [%08X]:\n", serial);
    display.message(Info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(Info, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t linkType) {
    const char* kind = linkType == USB ? "USB" : linkType == TCPIP ? "TCPIP" : "Unknown";
    display.message(Info, "Discovered Devices: (%s)", kind);
    if (devices.empty()) {
        display.message(Info, "    No devices found.");
        return;
    }
    if (linkType == USB)
        display.message(Info, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");

    for (const auto& d : devices) {
        const linkSpec& s = d.spec;
        if (s.type == TCPIP) {
            char address[20] = {0};
            const auto* b = reinterpret_cast<const uint8_t*>(&s.t.ip.ip_address);
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", b[0], b[1], b[2], b[3]);
            display.message(Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            s.serial_num, s.module, s.router, d.modelName.c_str(), d.major, d.minor, d.patch,
                            d.buildNumber, address, d.deviceName.c_str());
        } else if (d.error != aErrNone) {
            display.message(Info,
                            "    %08X  [Error (%d): Device in use. Close all other Veltrina associated applications.]",
                            s.serial_num, static_cast<int>(d.error));
        } else {
            display.message(Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", s.serial_num,
                            s.module, s.router, d.modelName.c_str(), d.major, d.minor, d.patch, d.buildNumber,
                            d.deviceName.c_str());
        }
    }
}
