#include "Updater.h"

#include "UpdateServerHost.h"

Updater::Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display)
    : serverUrl_(serverUrl ? serverUrl : UPDATE_SERVER_HTTP_URL),
      storeDirectory_(storeDirectory ? storeDirectory : ""),
      display_(display) {}

void Updater::unavailable(const char* operation) {
    display_.message(UpdaterDisplayInterface::Error, "%s is not available in this version of Updater",
                     operation);
}

unsigned int Updater::Download_Firmware(unsigned int, std::string, bool, bool) {
    unavailable("Downloading firmware");
    return 0;
}

unsigned int Updater::Download_Firmware(Fingerprint, std::string, bool) {
    unavailable("Downloading recovery firmware");
    return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int) {
    unavailable("Listing server builds");
    return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int) {
    unavailable("Listing local builds");
    return {};
}

std::string Updater::Get_JWT(unsigned int) {
    unavailable("Fetching the device token");
    return {};
}

bool Updater::_valid_build(unsigned int, unsigned int, const char*) {
    unavailable("Validating a build");
    return false;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    unavailable("Device discovery");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_ZVNetwork_Devices(unsigned int, linkType) {
    unavailable("Network discovery");
    return {};
}

bool Updater::Update_Firmware(unsigned int, unsigned int, std::string, unsigned char, unsigned int, bool) {
    unavailable("Firmware update");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned int, std::string, unsigned int, bool) {
    unavailable("Reading a fingerprint");
    recoveryChipKind_ = 0;
    return false;
}

bool Updater::Recover_Firmware(std::string, unsigned int, unsigned int, unsigned int, std::string, bool) {
    unavailable("Firmware recovery");
    return false;
}
