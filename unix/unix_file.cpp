// POSIX files over stdio streams.

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "aFile.h"

#define aFILE_CHECK 0xFEEDu

namespace {

// Which way the stream moved last: stdio needs a flush or a seek between a
// write and a read on an update stream ("ab+"), so the record remembers.
enum sDirection : uint32_t { sIdle = 0, sReading, sWriting };

}  // namespace

struct aFile {
    FILE* stream;
    aFileMode mode;
    uint32_t check;
    sDirection last;
};

static bool sValid(const aFile* f) {
    return f && f->check == aFILE_CHECK;
}

static bool sCanRead(const aFile* f) {
    return f->mode == aFileModeRead || f->mode == aFileModeAppend;
}

static bool sCanWrite(const aFile* f) {
    return f->mode == aFileModeWrite || f->mode == aFileModeAppend;
}

// Length check without walking an arbitrarily long string.
static bool sPathTooLong(const char* path) {
    return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

static bool sTurn(aFile* f, sDirection next) {
    if (f->last != sIdle && f->last != next) {
        if (fseeko(f->stream, 0, SEEK_CUR) != 0) return false;
    }
    f->last = next;
    return true;
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
    if (!path || !*path || sPathTooLong(path)) return nullptr;

    const char* how;
    switch (mode) {
        case aFileModeRead:
            how = "rb";
            break;
        case aFileModeWrite:
            how = "wb";
            break;
        case aFileModeAppend:
            how = "ab+";
            break;
        default:
            return nullptr;
    }

    aFile* f = new (std::nothrow) aFile{};
    if (!f) return nullptr;
    f->stream = fopen(path, how);
    if (!f->stream) {
        delete f;
        return nullptr;
    }
    // "ab+" starts reading at the beginning; callers expect the end.
    if (mode == aFileModeAppend && fseeko(f->stream, 0, SEEK_END) != 0) {
        fclose(f->stream);
        delete f;
        return nullptr;
    }
    f->mode = mode;
    f->check = aFILE_CHECK;
    f->last = sIdle;
    return f;
}

aErr aFile_Close(aFileRef* file) {
    if (!file) return aErrParam;
    aFile* f = *file;
    *file = nullptr;
    if (!sValid(f)) return aErrParam;

    // A failed close means buffered data never reached the file.
    aErr err = fclose(f->stream) == 0 ? aErrNone : aErrIO;
    f->stream = nullptr;
    f->check = 0;
    delete f;
    return err;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file)) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (!buffer) return aErrParam;
    if (!sTurn(file, sReading)) return aErrIO;

    size_t n = fread(buffer, 1, length, file->stream);
    if (count) *count = n;
    if (n == 0 && length != 0) return aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (!data) return aErrParam;
    if (!sTurn(file, sWriting)) return aErrIO;

    size_t n = fwrite(data, 1, length, file->stream);
    if (count) *count = n;
    if (n == 0 && length != 0) return aErrIO;
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
    if (length) *length = 0;
    if (buffer && size) buffer[0] = '\0';
    if (!sValid(file)) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (!buffer || size == 0) return aErrParam;
    if (!sTurn(file, sReading)) return aErrIO;

    // Byte by byte rather than fgets so that a zero byte inside the line
    // does not hide the true length.
    FILE* s = file->stream;
    size_t n = 0;
    int c = 0;
    while (n + 1 < size) {
        c = getc(s);
        if (c == EOF) break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    if (length) *length = n;

    if (c == EOF) {
        if (ferror(s)) return aErrIO;
        if (n == 0) return aErrEOF;
        return aErrNone;
    }
    if (n + 1 == size && (n == 0 || buffer[n - 1] != '\n')) {
        // No room for even one character: tell a cut line from the end.
        if (n == 0) {
            c = getc(s);
            if (c == EOF) return ferror(s) ? aErrIO : aErrEOF;
            ungetc(c, s);
        }
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (!format) return aErrParam;
    if (!sTurn(file, sWriting)) return aErrIO;

    va_list args;
    va_start(args, format);
    int n = vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

// Size as the caller sees it, pending buffered output included.
static bool sSize(aFile* f, off_t* size) {
    if (f->last == sWriting && fflush(f->stream) != 0) return false;
    struct stat st;
    if (fstat(fileno(f->stream), &st) != 0) return false;
    *size = st.st_size;
    return true;
}

aErr aFile_Seek(aFileRef file, int64_t offset, int origin) {
    if (!sValid(file)) return aErrParam;

    off_t size = 0;
    if (!sSize(file, &size)) return aErrIO;

    off_t base;
    switch (origin) {
        case aFileSeekStart:
            base = 0;
            break;
        case aFileSeekCurrent:
            base = ftello(file->stream);
            if (base < 0) return aErrIO;
            break;
        case aFileSeekEnd:
            base = size;
            break;
        default:
            return aErrParam;
    }

    off_t target;
    if (__builtin_add_overflow(base, offset, &target)) return aErrRange;
    if (target < 0 || target > size) return aErrRange;
    if (fseeko(file->stream, target, SEEK_SET) != 0) return aErrIO;
    file->last = sIdle;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
    if (!sValid(file)) return aErrParam;
    if (!size) return aErrParam;

    off_t s = 0;
    if (!sSize(file, &s)) {
        *size = 0;
        return aErrIO;
    }
    *size = static_cast<size_t>(s);
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
    if (!sValid(file)) return aErrParam;
    if (!position) return aErrParam;

    off_t at = ftello(file->stream);
    if (at < 0) return aErrIO;
    if (at > 0) *position = static_cast<size_t>(at);
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    // Push out what is already buffered so nothing is lost in the switch.
    if (fflush(file->stream) != 0) return aErrMode;
    if (setvbuf(file->stream, nullptr, _IONBF, 0) != 0) return aErrMode;
    return aErrNone;
}

bool aFile_Exists(const char* path) {
    if (!path || sPathTooLong(path)) return false;
    struct stat st;
    if (stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (sPathTooLong(path)) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}

// Writes the whole block, going on after short writes and interruptions.
static bool sWriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Creates a new, empty temporary file beside the target: ".NAME.tmp.XXXXXX"
// in the target's directory. O_EXCL makes the name ours alone; a clash with a
// leftover or a concurrent writer just tries the next name.
static int sCreateTemporary(const std::string& dir, const std::string& name,
                            std::string* tempPath) {
    static std::atomic<unsigned> counter{0};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long seed = (static_cast<unsigned long long>(now.tv_nsec) << 20) ^
                              static_cast<unsigned long long>(getpid()) ^
                              (static_cast<unsigned long long>(now.tv_sec) << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long long v = seed + 0x9E3779B97F4A7C15ull * (counter.fetch_add(1) + 1);
        char suffix[7];
        for (int i = 0; i < 6; ++i) {
            suffix[i] = digits[v % 36];
            v /= 36;
        }
        suffix[6] = '\0';
        *tempPath = dir + "." + name + ".tmp." + suffix;
        if (strnlen(tempPath->c_str(), aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

aErr aFile_WriteAtomic(const char* path, const void* data, size_t length) {
    if (!path || !*path) return aErrParam;
    if (sPathTooLong(path)) return aErrFileNameLength;
    if (!data && length != 0) return aErrParam;

    // Split into the directory (kept with its trailing "/", empty for the
    // current directory) and the entry name.
    std::string full(path);
    size_t slash = full.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    if (name.empty()) {
        errno = EISDIR;
        return aErrIO;  // "dir/" names no file
    }

    std::string temp;
    int fd = sCreateTemporary(dir, name, &temp);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
                return aErrNotFound;
            case EACCES:
            case EPERM:
            case EROFS:
                return aErrPermission;
            case ENAMETOOLONG:
                return aErrFileNameLength;
            default:
                return aErrIO;
        }
    }

    // A replaced file keeps its permission bits; a new one gets 0666 less
    // the umask, as fopen would give it.
    struct stat old;
    bool ok = true;
    if (lstat(path, &old) == 0 && S_ISREG(old.st_mode)) ok = fchmod(fd, old.st_mode & 07777) == 0;
    ok = ok && sWriteAll(fd, static_cast<const uint8_t*>(data), length);
    if (ok) {
        int r;
        do {
            r = fsync(fd);
        } while (r != 0 && errno == EINTR);
        ok = r == 0;
    }
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), path) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = saved;
        return aErrIO;
    }

    // Make the rename itself durable. The new content is in place whatever
    // this reports, so a failure here (some file systems refuse to sync a
    // directory) does not turn the write into a failure.
    int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return aErrNone;
}
