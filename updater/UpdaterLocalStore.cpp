// Views of the local side: checking a package (-C) and the store's contents (-I).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "BirdFile.h"
#include "BirdParser.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::Info;
constexpr auto kError = UpdaterDisplayInterface::Error;

// Text from a package or an attribute file, made safe for the console.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += "; ";
        out += part;
    }
    return out;
}

// Leading decimal digits of a name ("1234.bird" gives 1234); none gives -1.
long long buildOf(const std::string& name) {
    if (name.empty() || name[0] < '0' || name[0] > '9') return -1;
    return strtoll(name.c_str(), nullptr, 10);
}

}  // namespace

bool Updater::Check_BirdFile(const std::string& path) {
    if (path.empty()) {
        display_.message(kError, "No BIRD file given: -C checks the file named with -f FILE");
        return false;
    }
    display_.message(kInfo, "Checking BIRD file %s", path.c_str());

    BirdFile bird;
    if (!bird.Load(path.c_str())) {
        std::vector<std::string> problems;
        if (!BirdFile::VerifyFile(path.c_str()))
            problems.push_back(
                "the header is not a BIRD header (\"bird\" and a version with two non-zero bytes)");
        for (const std::string& p : bird.StructureProblems()) problems.push_back(p);
        display_.message(kError, "BIRD file %s could not be loaded: %s", path.c_str(),
                         joined(problems).c_str());
        return false;
    }

    display_.message(kInfo, "Format version: 0x%04X", bird.Version());
    const bool hasBuildInfo = !bird.FindBlocks(BirdFile::BLOCK_BUILD_INFO).empty();
    if (hasBuildInfo) {
        display_.message(kInfo, "Build: %u", bird.GetBuild());
        display_.message(kInfo, "Version: %s", printable(bird.GetVersion()).c_str());
        display_.message(kInfo, "Serial number: %08X", bird.GetSerialNumber());
        display_.message(kInfo, "Model: %s", printable(bird.GetModel()).c_str());
    } else {
        display_.message(kInfo, "Build information: none");
    }
    if (bird.ReportedBlockCount() != bird.BlockCount())
        display_.message(kInfo, "Blocks: %u (the file reports %u)", bird.BlockCount(),
                         bird.ReportedBlockCount());
    else
        display_.message(kInfo, "Blocks: %u", bird.BlockCount());
    display_.message(kInfo, "    #  Type               Flags      Length  Address");
    unsigned index = 0;
    for (const BirdBlock& block : bird.Blocks()) {
        const bool image =
            block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
        char address[16] = "-";
        if (image) snprintf(address, sizeof address, "0x%08X", block.address);
        display_.message(kInfo, "  %3u  %2u %-15s %5u  %10u  %s", index++, block.type,
                         bird::BlockTypeName(block.type), block.flags, block.length, address);
    }
    if (bird.HasSerialNumberBlock())
        display_.message(kInfo, "Serial number location: 0x%08X, descriptor: 0x%08X",
                         bird.SerialNumberAddress(), bird.DescriptorAddress());
    uint32_t start = 0;
    if (bird.GetStartAddress(&start))
        display_.message(kInfo, "Loader start address: 0x%08X", start);

    const std::vector<std::string> problems = bird.PackageProblems();
    if (!problems.empty()) {
        for (const std::string& p : problems) display_.message(kError, "Problem: %s", p.c_str());
        display_.message(kError, "BIRD file %s is damaged", path.c_str());
        return false;
    }
    display_.message(kInfo, "BIRD file %s is sound", path.c_str());
    return true;
}

bool Updater::Show_StoredDevice(unsigned int serial) {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display_, storeDirectory_, "Show_StoredDevice");
    if (!store) return false;
    // Viewing only reads: the attribute file is loaded when it is there, not
    // created as FindDevice's item would.
    if (!store->FindDevice(serial)) {
        display_.message(kError, "The store at %s holds nothing for device %08X",
                         store->BasePath().c_str(), serial);
        return false;
    }
    UpdaterStoreItem device;
    device.parent = store->BasePath();
    device.name = UpdaterStore::SerialText(serial);
    device.kind = STORE_ITEM_DIRECTORY;
    display_.message(kInfo, "Device %08X (%s)", serial, device.Path().c_str());
    if (!device.LoadExistingAttributes() || device.attributes.Size() == 0) {
        display_.message(kInfo, "Attributes: none");
    } else {
        display_.message(kInfo, "Attributes:");
        for (const auto& [key, value] : device.attributes.Entries())
            display_.message(kInfo, "  %s = %s", printable(key).c_str(), printable(value).c_str());
    }

    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    std::sort(items.begin(), items.end(), [](const UpdaterStoreItem& a, const UpdaterStoreItem& b) {
        long long ba = buildOf(a.name), bb = buildOf(b.name);
        return ba != bb ? ba < bb : a.name < b.name;
    });
    if (items.empty()) {
        display_.message(kInfo, "Local builds: none");
        return true;
    }
    display_.message(kInfo, "Local builds:");
    for (const UpdaterStoreItem& item : items) {
        const std::string path = item.Path();
        if (item.kind != STORE_ITEM_FILE || !BirdFile::VerifyFile(path.c_str())) {
            display_.message(kInfo, "  %s (not a BIRD file)", printable(item.name).c_str());
            continue;
        }
        BirdFile bird;
        if (!bird.Load(path.c_str())) {
            display_.message(kInfo, "  %s (cannot be loaded)", printable(item.name).c_str());
            continue;
        }
        display_.message(kInfo, "  %s build %u, version %s, model %s%s",
                         printable(item.name).c_str(), bird.GetBuild(),
                         printable(bird.GetVersion()).c_str(), printable(bird.GetModel()).c_str(),
                         bird.StructureOk() ? "" : " (damaged)");
    }
    return true;
}

bool Updater::List_StoredDevices() {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display_, storeDirectory_, "List_StoredDevices");
    if (!store) return false;
    std::vector<UpdaterStoreItem> devices;
    store->ListDevices(devices);
    if (devices.empty()) return true;  // an empty store shows nothing beyond the version line

    auto describe = [](const KeyValueStore& attributes, const char* fileKey, const char* dateKey) {
        std::string file = attributes.GetString(fileKey);
        if (file.empty()) return std::string("none");
        std::string text = printable(file);
        std::string date = attributes.GetString(dateKey);
        if (!date.empty()) text += " (" + printable(date) + ")";
        return text;
    };
    display_.message(kInfo, "Devices in the store at %s:", store->BasePath().c_str());
    for (const UpdaterStoreItem& device : devices) {
        display_.message(
            kInfo, "  %s  latest download: %s  latest transfer: %s", device.name.c_str(),
            describe(device.attributes, "LATEST_DOWNLOAD", "LAST_DOWNLOAD_DATE").c_str(),
            describe(device.attributes, "LATEST_TRANSFER", "LAST_TRANSFER_DATE").c_str());
    }
    return true;
}
