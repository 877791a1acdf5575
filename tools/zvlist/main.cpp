// zvlist: finds every module reachable by USB and by legacy Ethernet
// discovery, connects to each and prints its serial number, model, firmware
// version, build and name. An example of the device API.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Module.h"
#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"
#include "autoGen_SystemClass_CPP.h"
#include "discover.h"

using Veltrina::Zentrovia::Module;
using Veltrina::Zentrovia::SystemClass;

namespace {

constexpr size_t kNameCapacity = 64;

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: zvlist [--usb] [--tcpip]\n"
                 "Lists the modules attached by USB and the Ethernet modules that answer\n"
                 "discovery (both by default), with serial number, model, firmware version,\n"
                 "build and name. Exits with 1 when a module found could not be read.\n");
}

// Keeps each module once: a module can answer a request from every interface.
bool collect(const linkSpec* spec, bool* found, void* ref) {
    auto* specs = static_cast<std::vector<linkSpec>*>(ref);
    for (const linkSpec& s : *specs)
        if (s.type == spec->type && s.serial_num == spec->serial_num) return true;
    specs->push_back(*spec);
    *found = true;
    return true;
}

const char* typeName(uint32_t type) {
    return type == USB ? "USB" : type == TCPIP ? "TCPIP" : "?";
}

// One line for the module; false when it could not be reached or read.
bool show(const linkSpec& spec) {
    Module module(static_cast<uint8_t>(spec.module), static_cast<uint8_t>(spec.model));
    aEtherConfig config{};
    config.enabled = 0;  // a direct link of our own, no sharing server
    config.fallback = 0;
    module.setConfig(config);
    aErr err = module.connectFromSpec(spec);
    if (err != aErrNone) {
        std::printf("%-6s %08X  cannot connect: %s\n", typeName(spec.type), spec.serial_num,
                    aError_GetErrorDescription(err));
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0, build = 0;
    uint8_t model = 0;
    uint8_t name[kNameCapacity + 1] = {};
    size_t nameLength = 0;
    if (err == aErrNone) err = system.getSerialNumber(&serial);
    if (err == aErrNone) err = system.getModel(&model);
    if (err == aErrNone) err = system.getVersion(&version);
    if (err == aErrNone) err = module.getBuild(&build);
    if (err == aErrNone) err = system.getName(name, kNameCapacity, &nameLength);
    module.disconnect();
    if (err != aErrNone) {
        std::printf("%-6s %08X  cannot read: %s\n", typeName(spec.type), spec.serial_num,
                    aError_GetErrorDescription(err));
        return false;
    }
    char versionText[32];
    aVersion_ParseString(version, versionText, sizeof versionText);
    const std::string nameText(reinterpret_cast<const char*>(name),
                               strnlen(reinterpret_cast<const char*>(name), nameLength));
    std::printf("%-6s %08X  %-12s %-10s build %-6u %s\n", typeName(spec.type), serial,
                aDefs_GetModelName(model), versionText, build, nameText.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool usb = false, tcpip = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--usb") == 0) {
            usb = true;
        } else if (std::strcmp(argv[i], "--tcpip") == 0) {
            tcpip = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "zvlist: unknown option '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (!usb && !tcpip) usb = tcpip = true;

    std::vector<linkSpec> found;
    if (usb) aDiscovery_EnumerateModules(USB, collect, &found, 0);
    if (tcpip) aDiscovery_EnumerateModules(TCPIP, collect, &found, 0);
    if (found.empty()) {
        std::printf("No modules found.\n");
        return 0;
    }
    bool allRead = true;
    for (const linkSpec& spec : found) allRead = show(spec) && allRead;
    return allRead ? 0 : 1;
}
