#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "Log.h"
#include "aFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[64];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    // "%f" of a huge double needs more room.
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(args, fmt);
    vsnprintf(out.data(), out.size(), fmt, args);
    va_end(args);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* fileName) {
    if (fileName) Load(fileName);
}

std::string KeyValueStore::Timestamp() {
    time_t now = time(nullptr);
    char buffer[64] = {};
    if (!ctime_r(&now, buffer)) return {};
    std::string text(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void KeyValueStore::Load(const char* fileName) {
    if (!fileName) return;
    aFileRef file = aFile_Open(fileName, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 fileName, errno);
        Add(KEY_CREATED_TIME, Timestamp());
        Save(fileName);
    }
    fileName_ = fileName;
    changed_ = false;
    if (!file) return;

    char line[kLineBuffer];
    for (;;) {
        size_t length = 0;
        aErr err = aFile_ReadLine(file, line, sizeof line, &length);
        // End of file, a read error or a line too long for the buffer: stop,
        // keeping what was read so far.
        if (err != aErrNone) break;
        if (length < 3 || line[0] == '#') continue;

        std::string_view text(line, length);
        text = trimLeft(text);
        size_t eq = text.find('=');
        if (eq == std::string_view::npos) continue;  // no "=": no meaning, skipped
        std::string_view key = trimRight(text.substr(0, eq));
        if (key.empty()) continue;  // "=value": skipped
        std::string_view value = trimRight(trimLeft(text.substr(eq + 1)));
        entries_[std::string(key)] = std::string(value);
    }
    aFile_Close(&file);
}

void KeyValueStore::Save(const char* fileName) {
    if (fileName) {
        fileName_ = fileName;
    } else if (fileName_.empty()) {
        fileName_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 fileName_.c_str());
    }
    if (changed_) entries_[KEY_UPDATED_TIME] = Timestamp();

    std::string content;
    for (const auto& [key, value] : entries_) {
        content += key;
        content += '=';
        content += value;
        content += '\n';
    }
    aErr err = aFile_WriteAtomic(fileName_.c_str(), content.data(), content.size());
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 fileName_.c_str(), errno);
        return;
    }
    changed_ = false;
}

const char* KeyValueStore::operator[](const char* key) const {
    if (!key) return nullptr;
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
    if (const char* value = (*this)[key]) return value;
    return defaultValue ? defaultValue : "";
}

const std::string& KeyValueStore::lookupInserting(const char* key) {
    return entries_[key];  // an absent key gets an empty value; not a change
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
    if (!key) return defaultValue;
    const std::string& value = lookupInserting(key);
    if (value.empty()) return defaultValue;
    long v = strtol(value.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
    if (!key) return defaultValue;
    const std::string& value = lookupInserting(key);
    if (value.empty()) return defaultValue;
    // strtoul takes an optional "0x" or "0X" prefix in base 16.
    return static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
    if (!key) return defaultValue;
    const std::string& value = lookupInserting(key);
    if (value.empty()) return defaultValue;
    return strtol(value.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
    if (!key) return defaultValue;
    const std::string& value = lookupInserting(key);
    if (value.empty()) return defaultValue;
    return strtod(value.c_str(), nullptr);
}

bool KeyValueStore::store(const char* key, std::string value) {
    if (!key) return false;
    auto it = entries_.find(key);
    const std::string current = it == entries_.end() ? std::string() : it->second;
    if (current != value) changed_ = true;
    entries_[key] = std::move(value);
    return true;
}

bool KeyValueStore::Add(const char* key, int value) {
    return store(key, format("%d", value));
}

bool KeyValueStore::Add(const char* key, double value) {
    return store(key, format("%f", value));
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
    return store(key, format("0x%08X", value));
}

bool KeyValueStore::Add(const char* key, const char* value) {
    return store(key, value ? value : "");
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    return store(key, value);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (&other == this) {
        if (!entries_.empty()) changed_ = true;
        return true;
    }
    for (const auto& [key, value] : other.entries_) entries_[key] = value;
    if (!other.entries_.empty()) changed_ = true;
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    changed_ = true;
    return true;
}
