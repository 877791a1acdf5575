#include "UpdaterStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "BuildPath.h"
#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

// Makes sure the path is a directory ("Ensure directory").
void ensureDirectory(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), 0755);
        if (err != aErrNone) {
            throw std::runtime_error("UpdaterStore: Could not create directory " + path +
                                     " error " + std::to_string(static_cast<int>(err)));
        }
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
        return;
    }
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
}

// A single name inside one directory: not empty, not "." or "..", no "/".
bool isPlainName(const char* name) {
    if (!name || !*name) return false;
    std::string s(name);
    return s != "." && s != ".." && s.find('/') == std::string::npos;
}

void splitEntry(const char* path, std::string* parent, std::string* name) {
    std::string full(path ? path : "");
    size_t slash = full.rfind('/');
    if (slash == std::string::npos) {
        parent->clear();
        *name = full;
    } else {
        *parent = full.substr(0, slash);
        *name = full.substr(slash + 1);
    }
}

// Single-item search: the first entry named exactly `target` of the wanted
// kind ends the listing.
struct FindContext {
    std::string target;
    bool wantDirectory;
    bool found = false;
    std::string parent;
    std::string name;
    bool isDirectory = false;
};

bool findItem(const aDirectoryListData* entry, void* reference) {
    auto* ctx = static_cast<FindContext*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             entry->isDirectory ? 1 : 0, static_cast<int>(entry->size), ctx->target.c_str());
    std::string parent, name;
    splitEntry(entry->path, &parent, &name);
    if (name == "." || name == "..") return true;
    // Exact match only: "40F5849A.bak" is not the device 40F5849A.
    if (name != ctx->target || entry->isDirectory != ctx->wantDirectory) return true;
    ctx->found = true;
    ctx->parent = parent;
    ctx->name = name;
    ctx->isDirectory = entry->isDirectory;
    return false;
}

bool findExact(const std::string& directory, const char* target, bool wantDirectory,
               FindContext* ctx) {
    ctx->target = target ? target : "";
    ctx->wantDirectory = wantDirectory;
    if (!ctx->target.empty()) aDirectory_List(directory.c_str(), findItem, ctx);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", ctx->found ? "Found" : "Not Found",
             ctx->target.c_str());
    return ctx->found;
}

struct ListContext {
    std::vector<UpdaterStoreItem>* items;
    bool devicesOnly;
};

bool listItems(const aDirectoryListData* entry, void* reference) {
    auto* ctx = static_cast<ListContext*>(reference);
    if (!ctx->devicesOnly)
        Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
                 entry->isDirectory ? 1 : 0, static_cast<int>(entry->size));
    std::string parent, name;
    splitEntry(entry->path, &parent, &name);
    if (name.empty() || name[0] == '.') return true;  // ".", ".." and ".settings"
    if (ctx->devicesOnly) {
        if (!entry->isDirectory || !UpdaterStore::IsDeviceName(name)) return true;
        // Listing devices only reads: attributes are loaded when the file is
        // there, never created.
        UpdaterStoreItem item;
        item.parent = parent;
        item.name = name;
        item.kind = STORE_ITEM_DIRECTORY;
        item.LoadExistingAttributes();
        ctx->items->push_back(std::move(item));
        return true;
    }
    ctx->items->emplace_back(parent.c_str(), name.c_str(),
                             entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// UpdaterStoreItem

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const char* parentPath, const char* itemName,
                                   store_item_t itemKind)
    : parent(parentPath ? parentPath : ""), name(itemName ? itemName : ""), kind(itemKind) {
    // An invalid item has no directory of its own: loading would otherwise
    // create "/.settings" or a ".settings" elsewhere.
    if (IsValid())
        attributes.Load(BuildPath(parent, name, KeyValueStore::DEFAULT_FILENAME).c_str());
}

bool UpdaterStoreItem::LoadExistingAttributes() {
    if (!IsValid()) return false;
    std::string path = BuildPath(parent, name, KeyValueStore::DEFAULT_FILENAME);
    if (!aFile_Exists(path.c_str())) return false;
    attributes.Load(path.c_str());
    return true;
}

bool UpdaterStoreItem::IsValid() const {
    return !parent.empty() && !name.empty();
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(parent, name);
}

bool UpdaterStoreItem::FileExists(const char* fileName) {
    FindContext ctx;
    return findExact(Path(), fileName, false, &ctx);
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data,
                                 unsigned long length) {
    if (!data) return aErrNotFound;
    if (!isPlainName(fileName)) return aErrParam;
    std::string path = BuildPath(Path(), fileName);
    aErr err = aFile_WriteAtomic(path.c_str(), data, length);
    // A file that cannot be created is aErrNotFound, a failed
    // write aErrIO.
    if (err == aErrNone || err == aErrIO) return err;
    return aErrNotFound;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
    std::string path = BuildPath(Path(), fileName ? fileName : "");
    if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

// ---------------------------------------------------------------------------
// UpdaterStore

UpdaterStore::UpdaterStore(const char* root) : root_(root ? root : "") {
    ensureDirectory(root_);
}

std::string UpdaterStore::SerialText(unsigned int serial) {
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

bool UpdaterStore::IsDeviceName(const std::string& name) {
    if (name.size() != 8) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) {
    return AddDevice(SerialText(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    if (!isPlainName(name))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                                 (name ? name : "") + "]");
    ensureDirectory(BuildPath(root_, name));
    return UpdaterStoreItem(root_.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) {
    return FindDevice(SerialText(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    FindContext ctx;
    if (!findExact(root_, name, true, &ctx)) return false;
    if (item) *item = UpdaterStoreItem(ctx.parent.c_str(), ctx.name.c_str(), STORE_ITEM_DIRECTORY);
    return true;
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) {
    // No output item: finding the directory must not create its attribute file.
    const std::string name = SerialText(serial);
    if (!FindDevice(name.c_str())) return true;
    ListContext ctx{&items, false};
    aDirectory_List(BuildPath(root_, name).c_str(), listItems, &ctx);
    return true;
}

bool UpdaterStore::ListDevices(std::vector<UpdaterStoreItem>& items) {
    std::vector<UpdaterStoreItem> found;
    ListContext ctx{&found, true};
    aDirectory_List(root_.c_str(), listItems, &ctx);
    std::sort(found.begin(), found.end(),
              [](const UpdaterStoreItem& a, const UpdaterStoreItem& b) { return a.name < b.name; });
    for (auto& item : found) items.push_back(std::move(item));
    return true;
}
