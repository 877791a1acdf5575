#include "Updater.h"

#include <stdexcept>

#include "UpdateServerHost.h"
#include "UpdaterStore.h"

Updater::Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display)
    : serverUrl_(serverUrl ? serverUrl : UPDATE_SERVER_HTTP_URL),
      storeDirectory_(storeDirectory ? storeDirectory : ""),
      display_(display) {}

void Updater::unavailable(const char* operation) {
    display_.message(UpdaterDisplayInterface::Error, "%s is not available in this version of Updater",
                     operation);
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

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& storeDirectory,
                                                           const char* operation) {
    try {
        return std::make_unique<UpdaterStore>(storeDirectory.c_str());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::Error, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        operation ? operation : "", e.what());
        return nullptr;
    }
}
