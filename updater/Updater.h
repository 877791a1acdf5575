// The update engine: every command of the program is one operation here.
// Operations report to the user through the display and return bool, or a
// value in which 0 means failure.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

class BirdFile;
class UpdaterStore;
namespace Veltrina::Zentrovia {
class Module;
}

class Updater {
public:
    Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display);

    void Set_UEIBytes_Load(bool enable) { ueiBytesLoad_ = enable; }

    // Firmware acquisition and build lists.
    unsigned int Download_Firmware(unsigned int serial, std::string build, bool overrideModel,
                                   bool noCalibration);
    unsigned int Download_Firmware(Fingerprint fingerprint, std::string build, bool overrideModel);
    BirdFile load_bird(const char* verb, std::string birdFile, unsigned int serial, unsigned int build,
                       bool allowDownload);
    std::map<std::string, std::string> Get_BuildList(unsigned int serial);
    std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);
    std::string Get_JWT(unsigned int serial);
    bool _valid_build(unsigned int serial, unsigned int build, const char* serverUrl);

    // Discovery and identification. Type 0 searches USB, then TCP/IP; for the
    // router scan it means that the router's link type is found first.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_ZVNetwork_Devices(unsigned int routerSerial, linkType type);
    // 0 on any failure.
    static unsigned int _get_build_number(Veltrina::Zentrovia::Module& module);
    static aErr _get_version(Veltrina::Zentrovia::Module& module, DeviceInfo& info);
    static aErr _get_device_name(Veltrina::Zentrovia::Module& module, DeviceInfo& info);
    // Sharing and fallback off, loopback only; applied to every Module before it connects.
    static aErr _disableEther(Veltrina::Zentrovia::Module& module, UpdaterDisplayInterface& display);
    // 0 when the device was not found.
    static linkType _discover_link_type(unsigned int serial);
    static bool _discovered_device(const linkSpec* spec, bool* accepted, void* context);
    static bool _discovered_link(const linkSpec* spec, bool* accepted, void* context);

    // Firmware update.
    bool Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                         unsigned char moduleAddress, unsigned int routerSerial, bool overrideModel);
    bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& package,
                            Veltrina::Zentrovia::Module& module, unsigned int serial);
    aErr _transfer_loader(UpdaterDisplayInterface& display, Veltrina::Zentrovia::Module& module,
                          BirdFile& package);
    aErr _transfer_firmware(UpdaterDisplayInterface& display, Veltrina::Zentrovia::Module& module,
                            BirdFile& package, bool skipLinkDropWait, bool tryUEIBytes);

    // Recovery through the boot ROM, and the fingerprint that identifies a device.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned int serial,
                         std::string birdFile, unsigned int baud, bool resetAfter);
    bool Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                          std::string birdFile, bool overrideModel);

    // Local packages and store (-C, -I): report through the display and
    // return false (exit status 1) after an Error message.
    // -C -f FILE: loads the package and shows its build information and
    // blocks; true when it is sound.
    bool Check_BirdFile(const std::string& path);
    // -I -d SERIAL: the device's stored attributes and local builds; false
    // when the store holds nothing for it.
    bool Show_StoredDevice(unsigned int serial);
    // -I: every device in the store with its latest download and transfer;
    // nothing is shown for an empty store.
    bool List_StoredDevices();

    // A new store on the directory, or null after showing "Failed to Create
    // UpdaterStore in: <operation> - Exception: <text>".
    static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                             const std::string& storeDirectory,
                                                             const char* operation);

    const std::string& serverUrl() const { return serverUrl_; }
    const std::string& storeDirectory() const { return storeDirectory_; }
    UpdaterDisplayInterface& display() { return display_; }

private:
    // Says, at Error level, that an operation is not part of this build yet.
    void unavailable(const char* operation);

    std::string serverUrl_;
    std::string storeDirectory_;
    UpdaterDisplayInterface& display_;
    bool ueiBytesLoad_ = false;
    uint8_t recoveryChipKind_ = 0;  // 1 i.MX, 2 LPC; set by Get_Fingerprint
};
