// Device discovery and identification: the devices reachable directly (USB,
// legacy Ethernet) and the ones behind a routing device on its I2C network,
// each identified over its own link. Nothing here writes to the store.
#include <cstring>

#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "aBytes.h"
#include "aDefs.h"
#include "aVersion.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"
#include "discover.h"

using Veltrina::Zentrovia::I2CClass;
using Veltrina::Zentrovia::Link;
using Veltrina::Zentrovia::Module;
using Veltrina::Zentrovia::SystemClass;

namespace {

constexpr auto Error = UpdaterDisplayInterface::Error;

// Every discovery runs on 127.0.0.1 (network order).
constexpr uint32_t kDiscoveryInterface = aETHER_LOOPBACK;
constexpr uint8_t kDiscoveryModuleAddress = 2;
constexpr uint8_t kBuildRequest[] = {cmdMODULEINFO, 0xFF};
constexpr uint8_t kBuildReplyLength = 6;
constexpr size_t kDeviceNameCapacity = 32;
// Router scan: even bus addresses from 2 to 252, at the fastest bus speed,
// each probed with a two-byte write.
constexpr unsigned kFirstBusAddress = 2;
constexpr unsigned kLastBusAddress = 252;
constexpr uint8_t kFastestBusSpeed = 3;
constexpr uint8_t kBusProbe[] = {0x00, 0x00};

struct LinkTypeSearch {
    uint32_t serial;
    linkType found;
};

}  // namespace

bool Updater::_discovered_device(const linkSpec* spec, bool* accepted, void* context) {
    auto* list = static_cast<std::vector<DeviceInfo>*>(context);
    DeviceInfo info;
    info.spec = *spec;
    list->push_back(info);
    *accepted = true;
    return true;
}

bool Updater::_discovered_link(const linkSpec* spec, bool* accepted, void* context) {
    auto* search = static_cast<LinkTypeSearch*>(context);
    *accepted = true;
    if (spec->serial_num != search->serial) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_num,
             static_cast<int>(spec->type));
    search->found = static_cast<linkType>(spec->type);
    return false;
}

aErr Updater::_disableEther(Module& module, UpdaterDisplayInterface& display) {
    aEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    const aErr err = module.setConfig(config);
    if (err != aErrNone) display.message(Error, "Failed to SET network configuration");
    return err;
}

unsigned int Updater::_get_build_number(Module& module) {
    Link* link = module.getLink();
    if (!link) return 0;
    const uint8_t address = module.getModuleAddress();
    if (link->sendPacket(address, kBuildRequest[0], sizeof kBuildRequest - 1, kBuildRequest + 1) !=
        aErrNone)
        return 0;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = sizeof kBuildRequest;
    if (link->receivePacket(address, kBuildRequest, &length, reply) != aErrNone ||
        length != kBuildReplyLength)
        return 0;
    zv::ByteReader r(reply, length);
    r.skip(sizeof kBuildRequest);
    const uint32_t build = r.u32be();
    return r.ok() ? build : 0;
}

aErr Updater::_get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone) return err;
    info.major = aVersion_ParseMajor(version);
    info.minor = aVersion_ParseMinor(version);
    info.patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone) return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err != aErrNone) return err;
    info.spec.router = address;
    return aErrNone;
}

aErr Updater::_get_device_name(Module& module, DeviceInfo& info) {
    // Older firmware has no name option.
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch & 0xFF),
                                   2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kDeviceNameCapacity];
    size_t count = 0;
    const aErr err = system.getName(name, sizeof name, &count);
    if (err != aErrNone) return err;
    info.deviceName.assign(reinterpret_cast<const char*>(name),
                           count < sizeof name ? count : sizeof name);
    return aErrNone;
}

linkType Updater::_discover_link_type(unsigned int serial) {
    LinkTypeSearch search{serial, INVALID};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, kDiscoveryInterface);
    if (search.found == INVALID)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, kDiscoveryInterface);
    return search.found;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<linkType> types;
    if (type == INVALID)
        types = {USB, TCPIP};
    else
        types = {type};
    std::vector<DeviceInfo> list;
    for (linkType t : types)
        aDiscovery_EnumerateModules(t, _discovered_device, &list, kDiscoveryInterface);

    for (DeviceInfo& entry : list) {
        entry.error = aErrNone;
        entry.modelName = aDefs_GetModelName(entry.spec.model);
        Module module(kDiscoveryModuleAddress, static_cast<uint8_t>(0));
        if (_disableEther(module, display_) != aErrNone) continue;
        entry.error = module.connectFromSpec(entry.spec);
        if (entry.error == aErrNone) {
            entry.buildNumber = _get_build_number(module);
            entry.error = _get_version(module, entry);
            if (entry.error == aErrNone) entry.error = _get_device_name(module, entry);
        }
        module.disconnect();
    }
    return list;
}

std::vector<DeviceInfo> Updater::Discover_ZVNetwork_Devices(unsigned int routerSerial,
                                                            linkType type) {
    std::vector<DeviceInfo> list;
    if (type == INVALID) type = _discover_link_type(routerSerial);
    linkSpec* found = aDiscovery_FindModule(type, routerSerial, kDiscoveryInterface);
    if (!found) return list;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Log::log(DEBUG_Updater, "Found Link Module\n");

    Module router(kDiscoveryModuleAddress, static_cast<uint8_t>(0));
    _disableEther(router, display_);
    aErr err = router.connectFromSpec(routerSpec);
    if (err != aErrNone) {
        display_.message(Error, "Error %d on connectFromSpec", static_cast<int>(err));
        return list;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display_.message(Error, "Error %d on route to me", static_cast<int>(err));
        router.disconnect();
        return list;
    }

    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(kFastestBusSpeed);
    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned address = kFirstBusAddress; address <= kLastBusAddress; address += 2) {
        if (address == routerAddress) continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        if (bus.write(static_cast<uint8_t>(address), sizeof kBusProbe, kBusProbe) != aErrNone)
            continue;
        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        Module device(static_cast<uint8_t>(address), false, 0);
        _disableEther(device, display_);
        if (device.connectThroughLinkModule(&router) != aErrNone) continue;

        SystemClass system;
        system.init(&device, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            device.disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
        DeviceInfo info;
        info.spec.type = type;
        info.spec.serial_num = serial;
        info.spec.module = address;
        info.spec.router = routerAddress;
        info.spec.router_serial_num = routerSerial;
        std::memcpy(&info.spec.t, &routerSpec.t, sizeof info.spec.t);
        info.networkAddress = static_cast<uint16_t>(address);
        info.buildNumber = _get_build_number(device);
        info.error = _get_version(device, info);
        uint8_t model = 0;
        const aErr modelErr = system.getModel(&model);
        if (modelErr == aErrNone) {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        } else {
            info.error = modelErr;
        }
        device.disconnect();
        list.push_back(info);
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return list;
}
