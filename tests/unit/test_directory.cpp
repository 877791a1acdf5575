#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "BuildPath.h"
#include "aDirectory.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

struct Entry {
    std::string path;
    uint32_t size;
    bool isDirectory;
};

struct Listing {
    std::vector<Entry> entries;
    size_t stopAfter = SIZE_MAX;
};

bool collect(const aDirectoryListData* data, void* reference) {
    auto* listing = static_cast<Listing*>(reference);
    listing->entries.push_back({data->path, data->size, data->isDirectory});
    return listing->entries.size() < listing->stopAfter;
}

std::map<std::string, Entry> byPath(const Listing& listing) {
    std::map<std::string, Entry> out;
    for (const Entry& e : listing.entries) out[e.path] = e;
    return out;
}

bool isDir(const std::string& path) {
    return aDirectory_Exists(path.c_str());
}

}  // namespace

// ---- aDirectory_BuildPath ----

TEST(DirectoryBuildPath, Joins) {
    struct {
        std::vector<const char*> parts;
        const char* expected;
    } cases[] = {
        {{"dir/", "file"}, "dir/file"},
        {{"dir", "/file"}, "dir/file"},
        {{"dir", "file"}, "dir/file"},
        {{"dir/", "/file"}, "dir//file"},  // only the added separator is avoided
        {{"/", "a", "b/", "c"}, "/a/b/c"},
        {{"single"}, "single"},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, "1/2/3/4/5/6/7/8/9/10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        std::vector<const char*> p = c.parts;
        p.resize(11, nullptr);
        char out[64];
        EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, p[0], p[1], p[2], p[3], p[4], p[5], p[6],
                                       p[7], p[8], p[9], p[10], nullptr),
                  aErrNone);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(DirectoryBuildPath, LeavesOneSpareByteAndNeverWritesPastTheBuffer) {
    struct {
        size_t size;
        const char* first;
        const char* second;
        aErr err;
        const char* expected;
    } cases[] = {
        {10, "dir", "file", aErrNone, "dir/file"},
        {9, "dir", "file", aErrOverrun, "dir"},
        {5, "dir", "x", aErrOverrun, "dir"},
        {4, "dir", nullptr, aErrOverrun, ""},  // the first part alone needs the spare byte too
        {5, "dir", nullptr, aErrNone, "dir"},
        {1, "", nullptr, aErrOverrun, ""},
        {9, "dir/", "file", aErrOverrun, "dir/"},  // even with no separator added
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.first << " " << c.second);
        char out[32];
        memset(out, '#', sizeof out);
        EXPECT_EQ(aDirectory_BuildPath(out, c.size, c.first, c.second, nullptr), c.err);
        EXPECT_STREQ(out, c.expected);
        for (size_t i = c.size; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << "byte " << i;
    }
    char none[1] = {'#'};
    EXPECT_EQ(aDirectory_BuildPath(none, 0, "a", nullptr), aErrOverrun);
    EXPECT_EQ(none[0], '#');
}

TEST(DirectoryBuildPath, OverrunKeepsThePartsJoinedSoFar) {
    char out[12];
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "a", "b", "too-long", "c", nullptr),
              aErrOverrun);
    EXPECT_STREQ(out, "a/b");
}

TEST(DirectoryBuildPath, RefusesBadArguments) {
    char out[64] = "previous";
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, nullptr, nullptr), aErrParam);
    EXPECT_STREQ(out, "");

    strcpy(out, "base");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, out, "x", nullptr), aErrParam);
    strcpy(out, "base");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "x", out + 1, nullptr), aErrParam);

    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "0", "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", "10", nullptr),
              aErrParam)
        << "ten parts after the first";
    EXPECT_STREQ(out, "");
}

TEST(DirectoryBuildPath, JoinPathIsTwoParts) {
    char out[16];
    EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "a/", "b"), aErrNone);
    EXPECT_STREQ(out, "a/b");
    EXPECT_EQ(aDirectory_JoinPath(out, 5, "ab", "cd"), aErrOverrun);
}

// ---- text BuildPath ----

TEST(BuildPath, JoinsWithoutMergingSeparators) {
    EXPECT_EQ(BuildPath("dir/", "file", nullptr), "dir//file");
    EXPECT_EQ(BuildPath("/home/u", ".veltrina", "updater", nullptr), "/home/u/.veltrina/updater");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
    EXPECT_EQ(BuildPath(static_cast<const char*>(nullptr), "x", nullptr), "");
    EXPECT_EQ(BuildPath("a", "", "b", nullptr), "a//b");
    // Well past the ten parts of the buffer-based form.
    EXPECT_EQ(BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr),
              "1/2/3/4/5/6/7/8/9/10/11/12");
}

TEST(BuildPath, TypedFormMatchesTheCForm) {
    const std::string home = "/home/u";
    const std::string serial = "40F5849A";
    EXPECT_EQ(BuildPath(home, ".veltrina", "updater"),
              BuildPath("/home/u", ".veltrina", "updater", nullptr));
    EXPECT_EQ(BuildPath("root", serial, std::string_view("1.bird")), "root/40F5849A/1.bird");
    EXPECT_EQ(BuildPath(home), home);
    const char* missing = nullptr;
    EXPECT_EQ(BuildPath(home, "a", missing, "b"), "/home/u/a") << "a null pointer ends the list";
}

// ---- existence and creation ----

TEST(Directory, Exists) {
    TempDir dir;
    writeFile(dir.file("f"), "x");
    ASSERT_EQ(symlink(dir.path().c_str(), dir.file("link").c_str()), 0);
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_TRUE(aDirectory_Exists(dir.file("link").c_str())) << "links are followed";
    EXPECT_FALSE(aDirectory_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(""));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(Directory, EnsureCreatesTheWholePathOnce) {
    TempDir dir;
    const std::string target = dir.file("a/b/c");
    ASSERT_EQ(aDirectory_Ensure(target.c_str(), 0750), aErrNone);
    EXPECT_TRUE(isDir(dir.file("a")));
    EXPECT_TRUE(isDir(dir.file("a/b")));
    EXPECT_TRUE(isDir(target));
    struct stat st;
    ASSERT_EQ(stat(dir.file("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0750, 0u) << "the mode is applied to the parents too";

    writeFile(dir.file("a/b/c/keep"), "x");
    EXPECT_EQ(aDirectory_Ensure(target.c_str(), 0755), aErrNone);
    EXPECT_EQ(readFile(dir.file("a/b/c/keep")), "x");
}

TEST(Directory, EnsureWalksOddPaths) {
    TempDir dir;
    const std::string cases[] = {
        dir.file("x//y///z"),  // doubled separators
        dir.file("t/"),        // trailing separator
        dir.file("p/q/../r"),  // a parent step after a new directory
    };
    for (const std::string& path : cases) {
        EXPECT_EQ(aDirectory_Ensure(path.c_str(), 0755), aErrNone) << path;
        EXPECT_TRUE(isDir(path)) << path;
    }
    EXPECT_TRUE(isDir(dir.file("x/y/z")));
    EXPECT_TRUE(isDir(dir.file("p/r")));
}

TEST(Directory, EnsureRelativePath) {
    TempDir dir;
    char cwd[4096];
    ASSERT_EQ(aDirectory_CWD(cwd, sizeof cwd), aErrNone);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    aErr err = aDirectory_Ensure("r1/r2", 0755);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(err, aErrNone);
    EXPECT_TRUE(isDir(dir.file("r1/r2")));
}

TEST(Directory, EnsureFailsWhenAFileIsInTheWay) {
    TempDir dir;
    writeFile(dir.file("f"), "x");
    EXPECT_EQ(aDirectory_Ensure(dir.file("f/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(dir.file("f").c_str(), 0755), aErrPermission);
    EXPECT_EQ(readFile(dir.file("f")), "x");
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

TEST(Directory, EnsureRefusedByPermissions) {
    if (geteuid() == 0) GTEST_SKIP() << "root is never refused";
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
    EXPECT_EQ(aDirectory_Ensure(dir.file("ro/a/b").c_str(), 0755), aErrPermission);
}

// ---- listing and removal ----

TEST(Directory, ListEmptyGivesDotAndDotDot) {
    TempDir dir;
    Listing listing;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
    ASSERT_EQ(listing.entries.size(), 2u);
    auto entries = byPath(listing);
    for (const char* name : {"/.", "/.."}) {
        ASSERT_TRUE(entries.count(dir.path() + name)) << name;
        EXPECT_TRUE(entries[dir.path() + name].isDirectory) << name;
    }
}

TEST(Directory, ListReportsSizesAndKinds) {
    TempDir dir;
    writeFile(dir.file("five"), "12345");
    writeFile(dir.file("empty"), "");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);

    Listing listing;
    // A trailing separator on the directory is not doubled in the entries.
    EXPECT_EQ(aDirectory_List((dir.path() + "/").c_str(), collect, &listing), aErrNone);
    auto entries = byPath(listing);
    EXPECT_EQ(entries.size(), 5u) << "the dangling link has no status and is skipped";
    EXPECT_EQ(entries[dir.file("five")].size, 5u);
    EXPECT_FALSE(entries[dir.file("five")].isDirectory);
    EXPECT_EQ(entries[dir.file("empty")].size, 0u);
    EXPECT_TRUE(entries[dir.file("sub")].isDirectory);
    EXPECT_FALSE(entries.count(dir.file("dangling")));
}

TEST(Directory, ListStopsWhenTheCallbackSaysSo) {
    TempDir dir;
    writeFile(dir.file("a"), "");
    writeFile(dir.file("b"), "");
    Listing listing;
    listing.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
    EXPECT_EQ(listing.entries.size(), 1u);
}

TEST(Directory, ListRefusals) {
    TempDir dir;
    writeFile(dir.file("f"), "");
    Listing listing;
    EXPECT_EQ(aDirectory_List(dir.file("missing").c_str(), collect, &listing), aErrNotFound);
    EXPECT_EQ(aDirectory_List(dir.file("f").c_str(), collect, &listing), aErrNotFound);
    EXPECT_EQ(aDirectory_List(nullptr, collect, &listing), aErrParam);
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, nullptr), aErrParam);
    EXPECT_TRUE(listing.entries.empty());
}

TEST(Directory, DeleteOnlyEmptyDirectories) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("full").c_str(), 0755), 0);
    writeFile(dir.file("full/f"), "x");
    EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrNone);
    EXPECT_FALSE(isDir(dir.file("empty")));
    EXPECT_EQ(aDirectory_Delete(dir.file("full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(dir.file("missing").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(nullptr), aErrParam);
}

TEST(Directory, DeleteTreeRemovesNestedTree) {
    TempDir dir;
    const std::string root = dir.file("root");
    ASSERT_EQ(aDirectory_Ensure((root + "/a/b/c").c_str(), 0755), aErrNone);
    ASSERT_EQ(mkdir((root + "/empty").c_str(), 0755), 0);
    writeFile(root + "/top", "1");
    writeFile(root + "/a/mid", "2");
    writeFile(root + "/a/b/c/deep", "3");

    // A link to a directory outside the tree goes, the directory stays.
    ASSERT_EQ(mkdir(dir.file("outside").c_str(), 0755), 0);
    writeFile(dir.file("outside/precious"), "4");
    ASSERT_EQ(symlink(dir.file("outside").c_str(), (root + "/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
    EXPECT_FALSE(isDir(root));
    EXPECT_EQ(readFile(dir.file("outside/precious")), "4");
}

TEST(Directory, DeleteTreeRefusals) {
    TempDir dir;
    writeFile(dir.file("f"), "x");
    EXPECT_EQ(aDirectory_DeleteTree(dir.file("missing").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_DeleteTree(dir.file("f").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrParam);
    EXPECT_EQ(readFile(dir.file("f")), "x");
}

TEST(Directory, DeleteTreeStopsAtAnUnremovableFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root is never refused";
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("t").c_str(), 0755), 0);
    writeFile(dir.file("t/f"), "x");
    ASSERT_EQ(chmod(dir.file("t").c_str(), 0555), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(aDirectory_DeleteTree(dir.file("t").c_str()), aErrUnknown);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "---error unlink-ing file [" + dir.file("t/f") + "]\n");
    chmod(dir.file("t").c_str(), 0755);
}

// ---- process paths ----

TEST(Directory, CWD) {
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    char out[4096];
    EXPECT_EQ(aDirectory_CWD(out, sizeof out), aErrNone);
    EXPECT_STREQ(out, expected);
    EXPECT_EQ(aDirectory_CWD(out, strlen(expected)), aErrParam) << "no room for the terminator";
    EXPECT_EQ(aDirectory_CWD(nullptr, sizeof out), aErrParam);
    EXPECT_EQ(aDirectory_CWD(out, 0), aErrParam);
}

TEST(Directory, ExecutableFilePath) {
    char expected[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    char out[4096];
    EXPECT_EQ(aDirectory_ExecutableFilePath(out, sizeof out), aErrNone);
    EXPECT_STREQ(out, expected);

    char small[6];
    memset(small, '#', sizeof small);
    EXPECT_EQ(aDirectory_ExecutableFilePath(small, 5), aErrNone);
    EXPECT_EQ(std::string(small), std::string(expected, 4));
    EXPECT_EQ(small[5], '#');
    EXPECT_EQ(aDirectory_ExecutableFilePath(nullptr, 5), aErrParam);
}

TEST(Directory, HomeDirectoryComesFromTheUserDatabase) {
    struct passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_dir || !*pw->pw_dir) GTEST_SKIP() << "no user database entry";
    const std::string expected = pw->pw_dir;
    char out[2048];
    EXPECT_EQ(aDirectory_GetHomeDirectory(out, sizeof out), aErrNone);
    EXPECT_EQ(out, expected);

    char small[4];
    memset(small, '#', sizeof small);
    EXPECT_EQ(aDirectory_GetHomeDirectory(small, 3), aErrNone);
    EXPECT_EQ(std::string(small), expected.substr(0, 2));
    EXPECT_EQ(small[3], '#');
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 3), aErrParam);
}

// A user without a database entry needs a uid to switch to, hence root; the
// switch happens in a child so the test process keeps its identity.
TEST(Directory, HomeDirectoryFallsBackToHOME) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to switch to an unknown user";
    uid_t unknown = 54321;
    while (getpwuid(unknown)) ++unknown;

    EXPECT_EXIT(
        {
            if (setuid(unknown) != 0) _exit(10);
            char out[256];
            setenv("HOME", "/from/env", 1);
            if (aDirectory_GetHomeDirectory(out, sizeof out) != aErrNone) _exit(11);
            if (strcmp(out, "/from/env") != 0) _exit(12);
            setenv("HOME", "", 1);
            if (aDirectory_GetHomeDirectory(out, sizeof out) != aErrNotFound) _exit(13);
            if (out[0] != '\0') _exit(14);
            unsetenv("HOME");
            if (aDirectory_GetHomeDirectory(out, sizeof out) != aErrNotFound) _exit(15);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}
