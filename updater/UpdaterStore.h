// The updater's per-user store: one directory per device, named by
// its serial number "%08X", holding the downloaded BIRD packages (NNN.bird)
// and an attribute file (.settings).
//
// Lookups by name are exact: a device directory is found only under its own
// name, never under a name that merely contains it (such as "40F5849A.bak"),
// and FileExists("1234.bird") is not satisfied by "11234.bird".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem {
  public:
    // Empty: no parent, no name, kind none, no attributes.
    UpdaterStoreItem();
    // Keeps the three and loads the attributes from parent/name/.settings
    // (which creates that file when parent/name is a directory without one).
    UpdaterStoreItem(const char* parent, const char* name, store_item_t kind);

    // Both the parent path and the name are non-empty.
    bool IsValid() const;
    // parent/name.
    std::string Path() const;
    // Loads parent/name/.settings into the attributes when that file exists;
    // unlike the constructor it never creates one. False when it is missing.
    bool LoadExistingAttributes();

    // An entry named exactly fileName, other than a directory, exists in the
    // directory parent/name.
    bool FileExists(const char* fileName);
    // Replaces parent/name/fileName with the data, atomically (a temporary
    // file renamed over it; a failure leaves the old file as it was).
    // aErrNotFound for null data or when the file cannot be created;
    // aErrParam for a file name that is empty, "." or "..", or holds a "/";
    // aErrIO when writing fails.
    aErr WriteFile(const char* fileName, const unsigned char* data, unsigned long length);
    // The package parent/name/fileName; throws std::runtime_error("Invalid
    // bird " + path) when its header is not a BIRD header, and "Failed to
    // load bird data" when it cannot be loaded.
    BirdFile ReadBirdFile(const char* fileName);

    std::string parent;
    std::string name;
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore attributes;
};

class UpdaterStore {
  public:
    // Keeps the root and makes sure it is a directory (created with 0755 when
    // missing); throws std::runtime_error when it cannot.
    explicit UpdaterStore(const char* root);

    const std::string& BasePath() const { return root_; }

    // The device's directory (created when missing; may throw like the
    // constructor) with its attributes. The text form takes the directory
    // name; a name that is empty, "." or "..", or holds a "/" is refused with
    // a runtime error, so nothing lands outside the root.
    UpdaterStoreItem AddDevice(unsigned int serial);
    UpdaterStoreItem AddDevice(const char* name);

    // True when the root holds a directory named exactly the serial number
    // ("%08X") or the text; the item (when given) receives it with its
    // attributes.
    bool FindDevice(unsigned int serial, UpdaterStoreItem* item = nullptr);
    bool FindDevice(const char* name, UpdaterStoreItem* item = nullptr);

    // Appends an item for every entry of the device's directory whose name
    // does not begin with "." (directory order). True in every case.
    bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items);

    // Every device directory of the root (a directory whose name is eight
    // upper-case hexadecimal digits), with its attributes, in ascending name
    // order. Other entries are left out. Only reads: a missing attribute file
    // is not created.
    bool ListDevices(std::vector<UpdaterStoreItem>& items);

    // "%08X".
    static std::string SerialText(unsigned int serial);
    // Eight upper-case hexadecimal digits.
    static bool IsDeviceName(const std::string& name);

  private:
    std::string root_;
};
