// POSIX directories and path joining.

#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

bool aDirectory_Exists(const char* path) {
    if (!path) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static bool sMakeDirectory(const std::string& path, uint32_t mode) {
    if (aDirectory_Exists(path.c_str())) return true;
    return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (!path || !*path) return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;

    try {
        const std::string full(path);

        // Deepest existing ancestor; the walk starts just below it.
        std::string prefix = full;
        size_t start = 0;
        for (;;) {
            size_t cut = prefix.rfind(aDIR_PATH_SEP_CHAR);
            if (cut == std::string::npos) break;
            prefix.resize(cut);
            if (prefix.empty() || aDirectory_Exists(prefix.c_str())) {
                start = cut;
                break;
            }
        }

        size_t i = start;
        while (i < full.size()) {
            if (full[i] == aDIR_PATH_SEP_CHAR) {
                ++i;
                continue;
            }
            size_t end = full.find(aDIR_PATH_SEP_CHAR, i);
            if (end == std::string::npos) end = full.size();
            if (!sMakeDirectory(full.substr(0, end), mode)) return aErrPermission;
            i = end;
        }
        if (!sMakeDirectory(full, mode)) return aErrPermission;
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    }

    // "Already exists" is no success when a file holds the name.
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* reference) {
    if (!path || !callback) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;

    char entry[aDIR_ENTRY_PATH_SIZE];
    while (struct dirent* de = readdir(dir)) {
        if (aDirectory_JoinPath(entry, sizeof entry, path, de->d_name) != aErrNone) continue;
        struct stat st;
        if (stat(entry, &st) != 0) continue;
        aDirectoryListData data{entry, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode)};
        if (!callback(&data, reference)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (!path) return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;

    // Names are gathered first so that a deep tree holds one open directory
    // at a time rather than one per level.
    std::vector<std::string> names;
    try {
        while (struct dirent* de = readdir(dir)) {
            if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
            names.emplace_back(de->d_name);
        }
    } catch (const std::bad_alloc&) {
        closedir(dir);
        return aErrMemory;
    }
    closedir(dir);

    std::unique_ptr<char[]> entry(new (std::nothrow) char[aDIR_ENTRY_PATH_SIZE]);
    if (!entry) return aErrMemory;

    for (const std::string& name : names) {
        if (aDirectory_JoinPath(entry.get(), aDIR_ENTRY_PATH_SIZE, path, name.c_str()) != aErrNone)
            continue;
        // lstat: a link to a directory elsewhere is removed, not emptied.
        struct stat st;
        if (lstat(entry.get(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (aDirectory_DeleteTree(entry.get()) != aErrNone) break;
        } else if (unlink(entry.get()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entry.get());
            break;
        }
    }

    // Anything left behind above makes this fail.
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    if (getcwd(buffer, size)) return aErrNone;
    buffer[0] = '\0';
    return aErrParam;
}

static void sCopyCut(char* buffer, size_t size, const char* text, size_t length) {
    if (length > size - 1) length = size - 1;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    char link[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", link, sizeof link);
    if (n < 0) return aErrRead;
    sCopyCut(buffer, size, link, static_cast<size_t>(n));
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';

    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t scratchSize = hint > 0 ? static_cast<size_t>(hint) : 16384;
    std::unique_ptr<char[]> scratch;
    struct passwd entry;
    struct passwd* found = nullptr;
    for (;;) {
        scratch.reset(new (std::nothrow) char[scratchSize]);
        if (!scratch) break;
        int rc = getpwuid_r(getuid(), &entry, scratch.get(), scratchSize, &found);
        if (rc != ERANGE || scratchSize >= (1u << 20)) break;
        scratchSize *= 2;
    }

    const char* home = nullptr;
    if (found && found->pw_dir && *found->pw_dir) home = found->pw_dir;
    if (!home) {
        const char* env = getenv("HOME");
        if (env && *env) home = env;
    }
    // With no home at all the caller would otherwise build its store at
    // "/.veltrina"; it has to hear about it instead.
    if (!home) return aErrNotFound;

    sCopyCut(buffer, size, home, strlen(home));
    return aErrNone;
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(destination, size, first, second, nullptr);
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
    if (destination && size) destination[0] = '\0';
    if (!destination || !first) return aErrParam;

    const char* parts[aDIR_MAX_PATH_PARTS];
    size_t count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    while (const char* part = va_arg(args, const char*)) {
        if (count == aDIR_MAX_PATH_PARTS) {
            va_end(args);
            return aErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);

    // Emptying the destination above would already have spoilt such a part.
    const uintptr_t lo = reinterpret_cast<uintptr_t>(destination);
    const uintptr_t hi = lo + (size ? size : 1);
    for (size_t i = 0; i < count; ++i) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(parts[i]);
        if (at >= lo && at < hi) return aErrParam;
    }

    size_t length = strlen(first);
    if (size == 0 || length >= size - 1) return aErrOverrun;
    memcpy(destination, first, length + 1);

    for (size_t i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t room = size - length - 1;
        size_t joined = length;
        bool endsWithSep = length > 0 && destination[length - 1] == aDIR_PATH_SEP_CHAR;
        if (room > 1 && !endsWithSep && part[0] != aDIR_PATH_SEP_CHAR) {
            destination[length++] = aDIR_PATH_SEP_CHAR;
            destination[length] = '\0';
            --room;
        }
        size_t partLength = strlen(part);
        if (partLength >= room) {
            destination[joined] = '\0';
            return aErrOverrun;
        }
        memcpy(destination + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}
