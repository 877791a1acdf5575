#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "aFile.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// A path of exactly `length` characters naming `name` inside `dir`, padded
// with "./" so the system can still resolve it.
std::string paddedPath(const std::string& dir, const std::string& name, size_t length) {
    std::string path = dir + "/";
    if ((length - path.size() - name.size()) % 2) path += "/";
    while (path.size() + name.size() < length) path += "./";
    return path + name;
}

// Owns a handle so a failing assertion does not leak it.
struct Handle {
    aFileRef ref = nullptr;
    Handle(const std::string& path, aFileMode mode) : ref(aFile_Open(path.c_str(), mode)) {}
    ~Handle() {
        if (ref) aFile_Close(&ref);
    }
    operator aFileRef() const { return ref; }
};

}  // namespace

TEST(File, OpenRefusesBadArguments) {
    TempDir dir;
    const std::string f = dir.file("f"), missing = dir.file("missing"),
                      missingDir = dir.file("no/such");
    const std::string tooLong = paddedPath(dir.path(), "f", aFILE_MAX_PATH + 1);
    ASSERT_EQ(tooLong.size(), 4097u);
    writeFile(f, "x");
    struct {
        const char* what;
        const char* path;
        uint32_t mode;
    } cases[] = {
        {"null path", nullptr, aFileModeRead},
        {"empty path", "", aFileModeWrite},
        {"4097 characters", tooLong.c_str(), aFileModeWrite},
        {"mode 3", f.c_str(), 3},
        {"mode ~0", f.c_str(), 0xFFFFFFFFu},
        {"missing file", missing.c_str(), aFileModeRead},
        {"missing directory", missingDir.c_str(), aFileModeWrite},
    };
    for (const auto& c : cases) {
        aFileRef ref = aFile_Open(c.path, static_cast<aFileMode>(c.mode));
        EXPECT_EQ(ref, nullptr) << c.what;
        if (ref) aFile_Close(&ref);
    }
    EXPECT_EQ(readFile(f), "x") << "a refused open must not truncate";
}

TEST(File, OpenAcceptsLongestResolvablePath) {
    TempDir dir;
    // The system's own limit counts the terminator, so 4095 characters is the
    // longest path that can really be opened; it must not be refused early.
    const std::string path = paddedPath(dir.path(), "f", aFILE_MAX_PATH - 1);
    ASSERT_EQ(path.size(), 4095u);
    Handle f(path, aFileModeWrite);
    EXPECT_NE(f.ref, nullptr);
}

TEST(File, CloseClearsHandleAndRefusesSecondClose) {
    TempDir dir;
    aFileRef f = aFile_Open(dir.file("f").c_str(), aFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST(File, InvalidHandleIsRefusedEverywhere) {
    char buf[8];
    size_t n = 7;
    EXPECT_EQ(aFile_Read(nullptr, buf, sizeof buf, &n), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, buf, sizeof buf, &n), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, buf, sizeof buf, &n), aErrParam);
    EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, aFileSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &n), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &n), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
}

TEST(File, OperationsCheckTheMode) {
    TempDir dir;
    const std::string path = dir.file("f");
    char buf[16];
    size_t n;
    struct {
        aFileMode mode;
        aErr read, readLine, write, printf, unbuffered;
    } cases[] = {
        {aFileModeRead, aErrNone, aErrNone, aErrMode, aErrMode, aErrMode},
        {aFileModeWrite, aErrMode, aErrMode, aErrNone, aErrNone, aErrNone},
        {aFileModeAppend, aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        writeFile(path, "line\n");
        Handle f(path, c.mode);
        ASSERT_NE(f.ref, nullptr);
        ASSERT_EQ(aFile_Seek(f, 0, aFileSeekStart), aErrNone);
        EXPECT_EQ(aFile_Read(f, buf, 1, &n), c.read);
        EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &n), c.readLine);
        EXPECT_EQ(aFile_Write(f, "x", 1, &n), c.write);
        EXPECT_EQ(aFile_Printf(f, "%d", 7), c.printf);
        EXPECT_EQ(aFile_SetUnbuffered(f), c.unbuffered);
    }
}

TEST(File, NullBuffersAreRefused) {
    TempDir dir;
    Handle f(dir.file("f"), aFileModeAppend);
    ASSERT_NE(f.ref, nullptr);
    size_t n = 5;
    EXPECT_EQ(aFile_Read(f, nullptr, 4, &n), aErrParam);
    EXPECT_EQ(aFile_Write(f, nullptr, 4, &n), aErrParam);
    EXPECT_EQ(aFile_ReadLine(f, nullptr, 4, &n), aErrParam);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Printf(f, nullptr), aErrParam);
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
    EXPECT_EQ(aFile_GetPosition(f, nullptr), aErrParam);
}

TEST(File, WriteThenReadBack) {
    TempDir dir;
    const std::string path = dir.file("f");
    {
        Handle f(path, aFileModeWrite);
        ASSERT_NE(f.ref, nullptr);
        size_t n = 0;
        EXPECT_EQ(aFile_Write(f, "abc", 3, &n), aErrNone);
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(aFile_Printf(f, "-%s-%03d", "x", 7), aErrNone);
        EXPECT_EQ(aFile_Write(f, "", 0, nullptr), aErrNone);
    }
    EXPECT_EQ(readFile(path), "abc-x-007");

    Handle f(path, aFileModeRead);
    ASSERT_NE(f.ref, nullptr);
    char buf[16] = {};
    size_t n = 0;
    EXPECT_EQ(aFile_Read(f, buf, 4, &n), aErrNone);
    EXPECT_EQ(std::string(buf, n), "abc-");
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &n), aErrNone) << "a short read succeeds";
    EXPECT_EQ(std::string(buf, n), "x-007");
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &n), aErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Read(f, buf, 0, &n), aErrNone) << "nothing asked, nothing missing";
}

TEST(File, WriteModeTruncates) {
    TempDir dir;
    writeFile(dir.file("f"), "old content");
    Handle f(dir.file("f"), aFileModeWrite);
    ASSERT_NE(f.ref, nullptr);
    size_t size = 99;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 0u);
}

TEST(File, AppendStartsAtTheEndAndCanReadBack) {
    TempDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "0123456789");
    Handle f(path, aFileModeAppend);
    ASSERT_NE(f.ref, nullptr);
    size_t pos = 0;
    EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
    EXPECT_EQ(pos, 10u);
    ASSERT_EQ(aFile_Write(f, "AB", 2, nullptr), aErrNone);

    // Reading straight after writing on the same handle.
    ASSERT_EQ(aFile_Seek(f, 8, aFileSeekStart), aErrNone);
    char buf[8];
    size_t n = 0;
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &n), aErrNone);
    EXPECT_EQ(std::string(buf, n), "89AB");
    // And writing straight after reading still lands at the end.
    EXPECT_EQ(aFile_Printf(f, "C"), aErrNone);
    aFileRef ref = f.ref;
    f.ref = nullptr;
    EXPECT_EQ(aFile_Close(&ref), aErrNone);
    EXPECT_EQ(readFile(path), "0123456789ABC");
}

TEST(File, ReadLineWalksLinesThenEOF) {
    TempDir dir;
    writeFile(dir.file("f"), "one\ntwo\n\nfour\nfive");
    Handle f(dir.file("f"), aFileModeRead);
    ASSERT_NE(f.ref, nullptr);
    const char* expected[] = {"one\n", "two\n", "\n", "four\n", "five"};
    char buf[32];
    size_t n = 0;
    for (const char* line : expected) {
        EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &n), aErrNone);
        EXPECT_STREQ(buf, line);
        EXPECT_EQ(n, strlen(line));
    }
    memcpy(buf, "junk", 5);
    n = 9;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &n), aErrEOF);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(n, 0u);
}

TEST(File, ReadLineFitAndOverrun) {
    TempDir dir;
    const std::string path = dir.file("f");
    struct {
        const char* content;
        size_t size;
        aErr first;
        const char* firstLine;
        const char* rest;  // what the next call returns
    } cases[] = {
        {"abcd\nz", 6, aErrNone, "abcd\n", "z"},      // exact fit with its line feed
        {"abcde\nz", 6, aErrOverrun, "abcde", "\n"},  // one longer: cut
        {"abcdefghij\n", 4, aErrOverrun, "abc", "def"},
        {"a\n", 1, aErrOverrun, "", ""},  // no room at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        writeFile(path, c.content);
        Handle f(path, aFileModeRead);
        ASSERT_NE(f.ref, nullptr);
        char buf[16];
        memset(buf, '#', sizeof buf);
        size_t n = 99;
        EXPECT_EQ(aFile_ReadLine(f, buf, c.size, &n), c.first);
        EXPECT_STREQ(buf, c.firstLine);
        EXPECT_EQ(n, strlen(c.firstLine));
        EXPECT_EQ(buf[c.size], '#') << "wrote past the buffer";
        aFile_ReadLine(f, buf, c.size, &n);
        EXPECT_STREQ(buf, c.rest);
    }
}

TEST(File, ReadLineCountsZeroBytes) {
    TempDir dir;
    writeFile(dir.file("f"), std::string("a\0b\n", 4));
    Handle f(dir.file("f"), aFileModeRead);
    ASSERT_NE(f.ref, nullptr);
    char buf[8];
    size_t n = 0;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &n), aErrNone);
    EXPECT_EQ(n, 4u);
}

TEST(File, ReadLineOfSizeOneAtTheEndIsEOF) {
    TempDir dir;
    writeFile(dir.file("f"), "");
    Handle f(dir.file("f"), aFileModeRead);
    ASSERT_NE(f.ref, nullptr);
    char buf[1] = {'#'};
    EXPECT_EQ(aFile_ReadLine(f, buf, 1, nullptr), aErrEOF);
    EXPECT_EQ(buf[0], '\0');
}

TEST(File, SeekChecksTheRange) {
    TempDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "0123456789");
    struct {
        int64_t offset;
        int origin;
        aErr err;
        size_t position;  // afterwards; starts at 3
    } cases[] = {
        {0, aFileSeekEnd, aErrNone, 10},
        {1, aFileSeekEnd, aErrRange, 3},
        {-4, aFileSeekEnd, aErrNone, 6},
        {-11, aFileSeekEnd, aErrRange, 3},
        {10, aFileSeekStart, aErrNone, 10},
        {-1, aFileSeekStart, aErrRange, 3},
        {4, aFileSeekCurrent, aErrNone, 7},
        {-3, aFileSeekCurrent, aErrNone, 0},
        {8, aFileSeekCurrent, aErrRange, 3},
        {INT64_MAX, aFileSeekEnd, aErrRange, 3},
        {0, 3, aErrParam, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from " << c.origin);
        Handle f(path, aFileModeRead);
        ASSERT_NE(f.ref, nullptr);
        ASSERT_EQ(aFile_Seek(f, 3, aFileSeekStart), aErrNone);
        EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.err);
        size_t pos = 0;
        EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
        EXPECT_EQ(pos, c.position);
    }
}

TEST(File, SizeAndPositionSeePendingWrites) {
    TempDir dir;
    Handle f(dir.file("f"), aFileModeWrite);
    ASSERT_NE(f.ref, nullptr);
    ASSERT_EQ(aFile_Write(f, "hello", 5, nullptr), aErrNone);
    size_t size = 0, pos = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
    EXPECT_EQ(pos, 5u);
    EXPECT_EQ(aFile_Seek(f, 0, aFileSeekEnd), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 2, aFileSeekStart), aErrNone) << "the size counts unflushed bytes";
}

TEST(File, PositionZeroLeavesTheOutputAlone) {
    TempDir dir;
    writeFile(dir.file("f"), "abc");
    Handle f(dir.file("f"), aFileModeRead);
    ASSERT_NE(f.ref, nullptr);
    size_t pos = 1234;
    EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
    EXPECT_EQ(pos, 1234u);
}

TEST(File, UnbufferedWritesReachTheFileAtOnce) {
    TempDir dir;
    const std::string path = dir.file("f");
    Handle f(path, aFileModeAppend);
    ASSERT_NE(f.ref, nullptr);
    ASSERT_EQ(aFile_Write(f, "buffered ", 9, nullptr), aErrNone);
    ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
    EXPECT_EQ(readFile(path), "buffered ") << "switching must flush";
    ASSERT_EQ(aFile_Printf(f, "record %d", 1), aErrNone);
    EXPECT_EQ(readFile(path), "buffered record 1");
}

TEST(File, Exists) {
    TempDir dir;
    const std::string f = dir.file("f"), missing = dir.file("missing");
    const std::string tooLong = paddedPath(dir.path(), "f", aFILE_MAX_PATH + 1);
    writeFile(f, "x");
    struct {
        const char* path;
        bool exists;
    } cases[] = {
        {f.c_str(), true},        {"/dev/null", true}, {dir.path().c_str(), false},
        {missing.c_str(), false}, {"", false},         {nullptr, false},
        {tooLong.c_str(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aFile_Exists(c.path), c.exists) << (c.path ? c.path : "(null)");
    }
}

TEST(File, Delete) {
    TempDir dir;
    const std::string f = dir.file("f"), missingDir = dir.file("no/f");
    const std::string longest = paddedPath(dir.path(), "f", aFILE_MAX_PATH);
    const std::string tooLong = paddedPath(dir.path(), "f", aFILE_MAX_PATH + 1);
    writeFile(f, "x");
    struct {
        const char* what;
        const char* path;
        aErr err;
    } cases[] = {
        {"null", nullptr, aErrParam},
        {"4097 characters", tooLong.c_str(), aErrFileNameLength},
        // Handed to the system, which has no room for it.
        {"4096 characters", longest.c_str(), aErrIO},
        {"directory", dir.path().c_str(), aErrIO},
        {"file", f.c_str(), aErrNone},
        {"already deleted", f.c_str(), aErrNotFound},
        {"missing directory", missingDir.c_str(), aErrNotFound},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aFile_Delete(c.path), c.err) << c.what;
    }
    EXPECT_FALSE(aFile_Exists(f.c_str()));
}
