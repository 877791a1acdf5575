// Firmware acquisition: downloads into the store, package loading and the
// build lists behind -B, -L and -J.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "Base64.h"
#include "BirdFile.h"
#include "BirdParser.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

// Decimal build text: leading digits, at most 32 bits. False for text without
// leading digits or a number too large.
bool parseBuild(const std::string& text, unsigned int& build) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > 0xFFFFFFFFull) return false;
    build = static_cast<unsigned int>(v);
    return true;
}

// Like parseBuild, but logs and yields 0 for text that does not convert.
unsigned int buildOrZero(const std::string& text) {
    unsigned int build = 0;
    if (!parseBuild(text, build)) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return build;
}

// Why downloaded bytes are not a usable package; empty when they are.
std::string packageProblem(const unsigned char* bytes, unsigned long length) {
    bird::Header header;
    if (!bird::ParseHeader(bytes, length, &header) || !bird::HeaderIsValid(header))
        return "it is not a BIRD package";
    BirdFile check;
    if (!check.DecompressData(bytes + bird::kHeaderSize, length - bird::kHeaderSize))
        return "its compressed payload is damaged";
    if (!check.ScanBlocks(check.Payload(), static_cast<unsigned int>(check.PayloadSize())) || !check.StructureOk())
        return check.StructureProblems().empty() ? "its blocks are damaged" : check.StructureProblems().front();
    return {};
}

// One extra line saying why the server could not be used, when known.
void showServerReason(UpdaterDisplayInterface& display) {
    const std::string& why = UpdateServerRequest::LastError();
    if (!why.empty()) display.message(Error, "  (%s)", why.c_str());
}

}  // namespace

unsigned int Updater::Download_Firmware(unsigned int serial, std::string buildText, bool overrideModel,
                                        bool noCalibration) {
    unsigned int build = 0;
    if (!buildText.empty() && !parseBuild(buildText, build)) {
        display_.message(Error, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display_.message(Error, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = serverUrl_.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display_.message(Error, "Server request failed for %s", url);
        showServerReason(display_);
        return 0;
    }
    auto store = _createUpdaterStore(display_, storeDirectory_, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem device;
    if (!store->FindDevice(serial, &device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serial);
        } catch (const std::runtime_error&) {
            display_.message(Error, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string serverBuild, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, serverBuild, firmware, url)) {
        display_.message(Error, "No build information for device");
        showServerReason(display_);
        return 0;
    }
    if (build == 0) build = buildOrZero(serverBuild);
    display_.message(Info, "Retrieving build %u", build);
    if (overrideModel) {
        display_.message(Info, "Override specified, skipping validation of build %u", build);
    } else {
        display_.message(Info, "Validating build %u with server", build);
        if (!_valid_build(serial, build, url)) {
            display_.message(Error, "No valid build %u", build);
            return 0;
        }
        display_.message(Info, "Build %u is valid", build);
    }
    buildText = std::to_string(build);

    // The download runs on a worker while this thread keeps the spinner turning.
    std::string base64, reason;
    std::promise<bool> promise;
    std::future<bool> result = promise.get_future();
    std::thread worker([&] {
        bool ok = UpdateServerRequest::GetBuild(serial, firmware.c_str(), buildText.c_str(), base64, url,
                                                noCalibration);
        reason = UpdateServerRequest::LastError();  // the worker's own, read before it ends
        promise.set_value(ok);
    });
    display_.update_spinner(true, "Downloading");
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display_.update_spinner(true, "Downloading");
    display_.update_spinner(false, "Downloading");
    bool downloaded = result.get();
    worker.join();
    if (!downloaded) {
        display_.message(Error, "Download failed");
        if (!reason.empty()) display_.message(Error, "  (%s)", reason.c_str());
    }
    if (base64.empty()) {
        display_.message(Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    // Nothing is stored or recorded unless the bytes are a sound package.
    unsigned long length = 0;
    unsigned char* bytes = base64_decode(base64.c_str(), base64.size(), &length);
    if (!bytes) {
        display_.message(Error, "Failed to decode the downloaded BIRD file");
        return 0;
    }
    std::string problem = packageProblem(bytes, length);
    if (!problem.empty()) {
        free(bytes);
        display_.message(Error, "The downloaded BIRD file is not usable: %s", problem.c_str());
        return 0;
    }
    std::string fileName = buildText + ".bird";
    std::string now = KeyValueStore::Timestamp();
    aErr err = device.WriteFile(fileName.c_str(), bytes, length);
    free(bytes);
    if (err != aErrNone) {
        display_.message(Error, "Failed to write file with %d", static_cast<int>(err));
        return 0;
    }
    device.attributes.Add("LATEST_DOWNLOAD", fileName);
    device.attributes.Add("LAST_DOWNLOAD_DATE", now);
    try {
        device.attributes.Save();
    } catch (const std::runtime_error& e) {
        display_.message(Error, "Could not record the download: %s", e.what());
        return 0;
    }
    return build;
}

unsigned int Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool overrideModel) {
    unsigned int build = buildOrZero(buildText);
    unsigned int serial = 0, recoveryBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &recoveryBuild, serverUrl_.c_str())) {
        display_.message(Error, "Failed to retrieve recovery information from Veltrina update server");
        showServerReason(display_);
        return 0;
    }
    if (build == 0) build = recoveryBuild;
    return Download_Firmware(serial, std::to_string(build), overrideModel, false);
}

bool Updater::_valid_build(unsigned int serial, unsigned int build, const char* url) {
    UpdateServerRequest::BuildMap builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
    for (const auto& entry : builds)
        if (buildOrZero(entry.first) == build) return true;
    return false;
}

BirdFile Updater::load_bird(const char* verb, std::string path, unsigned int serial, unsigned int build,
                            bool allowDownload) {
    auto store = _createUpdaterStore(display_, storeDirectory_, "load_bird");
    if (!store) return BirdFile();
    if (!path.empty()) {
        display_.message(Info, "%s from Birdfile: %s", verb, path.c_str());
        return BirdFile(path.c_str());
    }
    UpdaterStoreItem device = store->AddDevice(serial);
    display_.message(Info, "%s firmware with build: %u", verb, build);
    std::string fileName = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(fileName.c_str());
    } catch (const std::runtime_error&) {
        if (!allowDownload) throw std::runtime_error("Error reading birdfile");
    }
    display_.message(Info, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return device.ReadBirdFile(fileName.c_str());
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial) {
    UpdateServerRequest::BuildMap builds;
    if (!UpdateServerRequest::ping(serverUrl_.c_str())) {
        display_.message(Error, "Server request failed for %s", serverUrl_.c_str());
        showServerReason(display_);
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl_.c_str())) {
        display_.message(Error, "Failed to retrieve builds for %08X", serial);
        showServerReason(display_);
    }
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int serial) {
    std::map<std::string, std::string> builds;
    auto store = _createUpdaterStore(display_, storeDirectory_, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const auto& item : items) {
        std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            std::string path = item.parent + "/" + item.name;
            if (BirdFile::VerifyFile(path.c_str())) {
                BirdFile package;
                if (package.Load(path.c_str()) && !package.GetVersion().empty()) {
                    Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
                    version = package.GetVersion();
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}

std::string Updater::Get_JWT(unsigned int serial) {
    std::string token;
    if (!UpdateServerRequest::ping(serverUrl_.c_str())) {
        display_.message(Error, "Server request failed for %s", serverUrl_.c_str());
        showServerReason(display_);
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, serverUrl_.c_str())) {
        display_.message(Error, "Failed to retrieve jwt for %08X", serial);
        showServerReason(display_);
        token.clear();
    }
    return token;
}
