// Portable directory operations and path joining.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aDIR_PATH_SEP "/"
#define aDIR_PATH_SEP_CHAR '/'

// Entry paths built while listing or deleting a tree must fit this buffer
// size; longer ones are skipped.
#define aDIR_ENTRY_PATH_SIZE 2048

// Most parts aDirectory_BuildPath joins, the first one included.
#define aDIR_MAX_PATH_PARTS 10

// One directory entry, valid only during the listing callback.
typedef struct aDirectoryListData {
    const char* path;  // the listed directory and the entry name joined by "/"
    uint32_t size;     // low 32 bits of the entry's size
    bool isDirectory;
} aDirectoryListData;

// Returns true to go on listing, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* reference);

// True when the path (symbolic links followed) is a directory.
bool aDirectory_Exists(const char* path);

// Creates every missing directory along the path with the given permission
// bits. aErrPermission when one cannot be made.
aErr aDirectory_Ensure(const char* path, uint32_t mode);

// Calls back for every entry whose status can be read, "." and ".."
// included, in the system's order. aErrNotFound when it cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* reference);

// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes the directory and everything under it. Symbolic links are removed,
// never followed. aErrNotFound when it cannot be opened, aErrUnknown when
// something in it could not be removed.
aErr aDirectory_DeleteTree(const char* path);

// aErrParam on failure, a too small buffer included.
aErr aDirectory_CWD(char* buffer, size_t size);

// The running program's path, cut to size - 1 characters. aErrRead when it
// cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// The real user's home directory from the user database, else "HOME"; cut to
// size - 1 characters. aErrNotFound (and empty text) when neither has one.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// aDirectory_BuildPath with exactly these two parts.
aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second);

// Joins a null-terminated list of at most ten parts with "/" (not doubled
// where a part already brings one) into the buffer. The result must leave
// one byte spare besides its terminator, else aErrOverrun with the parts
// joined so far. aErrParam for a null destination, a part inside the
// destination or more than ten parts.
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...)
    __attribute__((sentinel));
