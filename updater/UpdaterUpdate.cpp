// The firmware update flow behind -U: choose and load the package, patch the
// device's serial number into it, connect directly or through a router,
// check that package and device belong together, send the loader and then
// the firmware, and record the transfer in the store.
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "Module.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"
#include "autoGen_SystemClass_CPP.h"
#include "zvusb_driver.h"

using Veltrina::Zentrovia::Module;
using Veltrina::Zentrovia::SystemClass;

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

constexpr int kFirmwareAttempts = 5;
// Re-enumeration after the loader started, when the device did not come
// back on its own: attempts one second apart, the USB context refreshed
// before every third.
constexpr int kEnumerationAttempts = 15;
constexpr unsigned kEnumerationDelayMs = 1000;
constexpr int kEnumerationRefreshEvery = 3;

const char kLatestDownload[] = "LATEST_DOWNLOAD";
const char kLatestTransfer[] = "LATEST_TRANSFER";
const char kLastTransferDate[] = "LAST_TRANSFER_DATE";

// The leading decimal build number of a text such as "12345.bird"; 0 when
// there is none or it does not fit.
unsigned int leadingBuild(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return 0;
    errno = 0;
    const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    return errno == ERANGE || value > 0xFFFFFFFFull ? 0 : static_cast<unsigned int>(value);
}

// The server's newest build for the device; 0 when there is none or its
// text is not a number.
unsigned int serverBuild(unsigned int serial, const std::string& url) {
    std::string build, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, build, firmware, url.c_str())) return 0;
    const bool digits =
        !build.empty() && build.find_first_not_of("0123456789") == std::string::npos;
    const unsigned int number = digits ? leadingBuild(build) : 0;
    if (number == 0)
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
    return number;
}

const char* errorText(aErr err) {
    return aError_GetErrorText(err);
}

}  // namespace

bool Updater::Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                              unsigned char moduleAddress, unsigned int routerSerial,
                              bool overrideModel) {
    if (serial == 0) {
        display_.message(Error, "Update command must specify the specific device");
        return false;
    }
    auto store = _createUpdaterStore(display_, storeDirectory_, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem entry;
    store->FindDevice(serial, &entry);
    const uint64_t start = aTime_GetMonotonicMSTicks();

    if (birdFile.empty()) {
        if (build == 0) {
            build = serverBuild(serial, serverUrl_);
            if (build != 0) {
                // Only a test for presence: the package is loaded below.
                try {
                    const std::string name = std::to_string(build) + ".bird";
                    if (!entry.IsValid()) throw std::runtime_error("no store entry");
                    entry.ReadBirdFile(name.c_str());
                } catch (const std::runtime_error&) {
                    display_.message(Info,
                                     "New firmware is available.  Updater will proceed if valid "
                                     "firmware is found locally.");
                    build = 0;
                }
            }
        }
        if (build == 0) {
            build = leadingBuild(entry.attributes.GetString(kLatestDownload));
            if (build != 0) display_.message(Info, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = leadingBuild(entry.attributes.GetString(kLatestTransfer));
            if (build != 0) display_.message(Info, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display_.message(Error, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile package;
    try {
        package = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::exception&) {
        display_.message(Error, "Failed to load bird file");
        return false;
    }
    // Nothing goes to the device from a package that is not sound.
    const std::vector<std::string> problems = package.PackageProblems();
    if (!problems.empty()) {
        display_.message(Error, "Failed to load bird file");
        for (const std::string& problem : problems)
            display_.message(Error, "  %s", problem.c_str());
        return false;
    }

    if (package.HasSerialNumberBlock()) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!package.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display_.message(Error, "Unable to write the serial number into the firmware");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, static_cast<uint8_t>(0));
    aErr status = _disableEther(target, display_);
    if (status == aErrNone && routerSerial == 0) {
        status = target.connect(USB, serial);
        if (status == aErrNotFound) status = target.connect(TCPIP, serial);
        if (status != aErrNone)
            display_.message(Error, "Failed to connect to module [%08X]", serial);
    } else if (status == aErrNone) {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> devices =
                Discover_ZVNetwork_Devices(routerSerial, INVALID);
            if (devices.empty()) {
                display_.message(Error, "Unable to find modules on Network");
                return false;
            }
            uint16_t found = 0;
            for (const DeviceInfo& device : devices)
                if (device.spec.serial_num == serial) found = device.networkAddress;
            if (found == 0) {
                display_.message(Error,
                                 "Module address required for indirect firmware update, could not "
                                 "find serial number [0x%08X] on network",
                                 serial);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(found));
        }
        Module router(0, static_cast<uint8_t>(0));
        aErr routed = _disableEther(router, display_);
        if (routed == aErrNone) {
            routed = router.connect(USB, routerSerial);
            if (routed == aErrNotFound) routed = router.connect(TCPIP, routerSerial);
        }
        if (routed != aErrNone) {
            display_.message(Error, "Failed to connect to link module [%08X]", routerSerial);
            return false;
        }
        status = target.connectThroughLinkModule(&router);
        if (status != aErrNone)
            display_.message(Error, "Failed to connect to module [%08X]", serial);
    }

    if (status == aErrNone && !overrideModel &&
        !_validate_birdfile(display_, package, target, serial)) {
        display_.message(Error, "Birdfile failed validation");
        return false;
    }

    if (status == aErrNone) status = _transfer_loader(display_, target, package);

    if (status == aErrNone && !target.isConnected()) {
        // The loader's restart dropped the link and it did not come back
        // while the loader was started: look for the device again.
        linkSpec spec{};
        target.getLinkSpecifier(&spec);
        const bool usb = routerSerial == 0 && spec.type == USB;
        target.disconnect();
        for (int attempt = 1; attempt <= kEnumerationAttempts; ++attempt) {
            if (usb && attempt % kEnumerationRefreshEvery == 0) {
                Log::log(DEBUG_APP,
                         "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Zentrovia_libusb_exit();
            }
            if (routerSerial != 0) {
                if (target.reconnect() == aErrNone) break;
            } else {
                const linkType type = spec.type == TCPIP ? TCPIP : USB;
                if (target.discoverAndConnect(type, serial) == aErrNone) break;
                target.disconnect();
                if (usb && target.discoverAndConnect(USB, UpdaterEntity::kBlankSerial) == aErrNone)
                    break;
            }
            target.disconnect();
            aTime_MSSleep(kEnumerationDelayMs);
        }
    }

    if (status == aErrNone)
        status = _transfer_firmware(display_, target, package, routerSerial != 0, ueiBytesLoad_);

    if (status == aErrNone) {
        const std::string name = birdFile.empty() ? std::to_string(build) + ".bird" : birdFile;
        try {
            if (!entry.IsValid()) entry = store->AddDevice(serial);
            entry.attributes.Add(kLatestTransfer, name);
            entry.attributes.Add(kLastTransferDate, KeyValueStore::Timestamp());
            entry.attributes.Save();
        } catch (const std::runtime_error& e) {
            Log::log(DEBUG_Updater, "Could not open the store entry: %s\n", e.what());
        }
        if (entry.attributes.Changed())
            display_.message(Error, "The update succeeded but could not be recorded in the store");
        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        display_.message(Info, "Update time: %.4f sec",
                         static_cast<double>(aTime_GetMonotonicMSTicks() - start) / 1000.0);
    } else {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(status));
    }
    return status == aErrNone;
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& package,
                                 Module& module, unsigned int serial) {
    if (package.Blocks().empty()) return false;
    if (!package.HasSerialNumberBlock() && !package.ValidateSerialNumber(serial)) {
        display.message(Error, "The BIRD file is for device [%08X], not [%08X]",
                        package.GetSerialNumber(), serial);
        return false;
    }
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t deviceSerial = 0;
    aErr err = system.getSerialNumber(&deviceSerial);
    if (err != aErrNone || deviceSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 static_cast<int>(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (err != aErrNone || !package.ValidateModel(name)) {
        display.message(Error, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, static_cast<int>(err));
        return false;
    }
    return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& display, Module& module,
                               BirdFile& package) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(err),
                 errorText(err));
        display.message(Error, "Error starting loader [%d, %s]", static_cast<int>(err),
                        errorText(err));
        return err;
    }
    display.message(Info, "Transferring loader to device");
    const std::vector<BirdBlock> loaders = package.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    unsigned int transferred = 0, bytes = 0;
    for (size_t i = 0; i < loaders.size() && err == aErrNone; ++i) {
        const BirdBlock& block = loaders[i];
        display.message(Info, "Transferring loader block %d of %d, %d bytes",
                        static_cast<int>(i + 1), static_cast<int>(loaders.size()),
                        static_cast<int>(block.length));
        unsigned short blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(err),
                     errorText(err));
            break;
        }
        // A loader with a damaged block must not be started.
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", static_cast<int>(err),
                     errorText(err));
            break;
        }
        ++transferred;
        bytes += block.length;
        display.update_progress(static_cast<double>(i + 1) / loaders.size(), nullptr);
    }
    display.display_progress(false);
    display.message(Info, "Transferred %d blocks, %d total bytes", static_cast<int>(transferred),
                    static_cast<int>(bytes));
    if (err != aErrNone) {
        display.message(Error, "Failed to transfer the loader [%d, %s]", static_cast<int>(err),
                        errorText(err));
        return err;
    }
    display.message(Info, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = aErrNone;
    } else if (err != aErrNone) {
        display.message(Error, "Error starting loader [%d, %s]", static_cast<int>(err),
                        errorText(err));
    }
    return err;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& display, Module& module,
                                 BirdFile& package, bool skipLinkDropWait, bool tryUEIBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, skipLinkDropWait);
    if (tryUEIBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", package.Path().c_str());
    const std::vector<BirdBlock> blocks = package.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const uint64_t started = aTime_GetMonotonicMSTicks();
    aErr err = aErrNone;
    unsigned int transferred = 0, bytes = 0, payload = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        for (int attempt = 0; attempt < kFirmwareAttempts; ++attempt) {
            display.message(Info, "Transferring firmware block %u of %u, %d bytes",
                            static_cast<unsigned>(i + 1), static_cast<unsigned>(blocks.size()),
                            static_cast<int>(block.length));
            if (attempt > 0) display.message(Info, "  Retry %d", attempt);
            unsigned short blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n",
                         static_cast<int>(err), errorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(err),
                     errorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        ++transferred;
        bytes += block.length;
        payload += block.length - 4;
    }
    display.message(Info, "Transferred %d blocks, %d total bytes", static_cast<int>(transferred),
                    static_cast<int>(bytes));
    if (err != aErrNone) {
        display.message(Error, "Failed to transfer the firmware [%d, %s]", static_cast<int>(err),
                        errorText(err));
        return err;
    }
    Log::log(DEBUG_Updater, "Firmware phase: %u payload bytes in %llu ms (%s data)\n", payload,
             static_cast<unsigned long long>(aTime_GetMonotonicMSTicks() - started),
             entity.usesUEIData() ? "UEI bytes" : "packet");
    err = entity.LoaderReboot(display);
    if (err == aErrTimeout)
        display.message(Error,
                        "The device did not restart after the update; power-cycle it to start "
                        "the new firmware");
    else if (err != aErrNone)
        display.message(Error, "Failed to reboot the device [%d, %s]", static_cast<int>(err),
                        errorText(err));
    return err;
}
