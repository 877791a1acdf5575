// Key-value attribute files: a small table of text keys and text
// values, loaded from and saved to a plain text file of "key=value" lines.
//
// Saving never truncates the old file first: the new content is written to a
// temporary file beside it and renamed over it (aFile_WriteAtomic), so a
// failed save leaves the old file exactly as it was.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
  public:
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

    // Longest line read, its line end included, is kLineBuffer - 1 characters.
    static constexpr size_t kLineBuffer = 2048;

    // An empty store; with a name, Load runs on it at once.
    explicit KeyValueStore(const char* fileName = nullptr);

    // Merges the file into the entries. A missing file is created with
    // CREATED_TIME and UPDATED_TIME. Failures are only logged.
    void Load(const char* fileName);
    // Writes every entry, keys in ascending byte order; a null name means the
    // current file name (".settings" when there never was one). A failure is
    // only logged and leaves the store marked changed.
    void Save(const char* fileName = nullptr);

    // The value, or null when the key is absent. Never adds an entry.
    const char* operator[](const char* key) const;
    // The value when present (even empty), else the default ("" for null).
    std::string GetString(const char* key, const char* defaultValue = nullptr) const;

    // Numeric getters: the default when the key is absent or its value is
    // empty. An absent key is added with an empty value (the changed flag is
    // not set, but a later save writes "key=").
    int GetInt(const char* key, int defaultValue);
    uint32_t GetHex(const char* key, uint32_t defaultValue);
    bool GetBOOL(const char* key, bool defaultValue);
    double GetDouble(const char* key, double defaultValue);

    // Each sets the changed flag only when the stored text changes.
    bool Add(const char* key, int value);          // "%d"
    bool Add(const char* key, double value);       // "%f"
    bool AddHex(const char* key, uint32_t value);  // "0x%08X"
    bool Add(const char* key, const char* value);  // unchanged (null as "")
    bool Add(const char* key, const std::string& value);
    // Copies every entry of the other store; changed when it had any.
    bool Add(const KeyValueStore& other);
    // Removes every entry and sets the changed flag; the file name stays.
    bool Clear();

    const std::string& FileName() const { return fileName_; }
    bool Changed() const { return changed_; }
    size_t Size() const { return entries_.size(); }
    const std::map<std::string, std::string>& Entries() const { return entries_; }

    // The current local time as ctime gives it, without its line end:
    // "Wed Dec  9 12:58:13 2026".
    static std::string Timestamp();

  private:
    // The value text of a key, inserting an empty one when absent.
    const std::string& lookupInserting(const char* key);
    bool store(const char* key, std::string value);

    std::string fileName_;
    std::map<std::string, std::string> entries_;
    bool changed_ = false;
};
