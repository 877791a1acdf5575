// Portable file access: C-style functions over an opaque handle.
//
// A handle is owned by the caller from aFile_Open to aFile_Close. Every
// operation on a handle checks it first and answers aErrParam for a null,
// closed or foreign one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef struct aFile* aFileRef;

// Any value other than these three is refused by aFile_Open.
typedef enum aFileMode : uint32_t {
    aFileModeRead = 0,    // existing file, read only
    aFileModeWrite = 1,   // create or truncate, write only
    aFileModeAppend = 2,  // create if missing, read and write, positioned at the end
} aFileMode;

// Origins for aFile_Seek; any other origin is aErrParam.
typedef enum aFileSeekOrigin : uint32_t {
    aFileSeekStart = 0,
    aFileSeekCurrent = 1,
    aFileSeekEnd = 2,
} aFileSeekOrigin;

// Longest path accepted by aFile_Open, aFile_Exists and aFile_Delete.
#define aFILE_MAX_PATH 4096

// New handle, or null on any failure (bad path or mode, no memory, refused by
// the system); the reason is not reported.
aFileRef aFile_Open(const char* path, aFileMode mode);

// Closes and frees the handle and clears the caller's variable in every case.
// aErrParam for an invalid handle, aErrIO when buffered data could not be
// written out.
aErr aFile_Close(aFileRef* file);

// Up to length bytes; count (optional) receives the number read. A short read
// succeeds; nothing read for a non-zero length is aErrEOF.
aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count);

// count (optional) receives the number written; nothing written for a
// non-zero length is aErrIO.
aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count);

// One line, line feed included, of at most size - 1 characters, terminated.
// aErrOverrun when the line did not fit: the rest comes with the next call.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The target (offset plus the origin's position) must lie within 0 and the
// current file size, else aErrRange and the position stays.
aErr aFile_Seek(aFileRef file, int64_t offset, int origin);

aErr aFile_GetSize(aFileRef file, size_t* size);

// Writes *position only when the position is above 0.
aErr aFile_GetPosition(aFileRef file, size_t* position);

// Write and append handles only (aErrMode otherwise).
aErr aFile_SetUnbuffered(aFileRef file);

// True for an existing entry that is not a directory.
bool aFile_Exists(const char* path);

aErr aFile_Delete(const char* path);

// Replaces the file at path with exactly these bytes, never leaving a
// half-written file behind: the data goes to a new temporary file in the same
// directory (".NAME.tmp.XXXXXX"; mode 0666 less the umask, or the replaced
// file's permission bits), which is flushed and fsync'ed, then renamed over
// path; the directory is fsync'ed afterwards (best effort: the replacement has
// happened once the rename succeeded). On any failure the temporary file is
// removed, the file at path is exactly as it was, errno tells the system's
// reason, and the result is: aErrParam for a null or empty path, or null data
// with a non-zero length; aErrFileNameLength for a path (or its temporary
// name) over aFILE_MAX_PATH; aErrNotFound when the directory is missing (or a
// part of it is not a directory); aErrPermission when the system refuses to
// create the temporary file; aErrIO when writing, syncing or the rename fails
// (a path naming a directory included). A symbolic link at path is replaced,
// not followed.
aErr aFile_WriteAtomic(const char* path, const void* data, size_t length);
