// UpdaterStore and UpdaterStoreItem on a temporary directory, and
// the atomic file replacement (aFile_WriteAtomic) they save through.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "UpdaterStore.h"
#include "aFile.h"
#include "bird_builder.h"
#include "log_capture.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::LogCapture;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::regex kTimestamp(
    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::string runtimeError(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

testsupport::Bytes goodPackage() {
    using namespace testsupport;
    return makeBirdFile(makePayload({imageBlock(1, 0x1000, Bytes(32, 0xAA)),
                                     buildInfoBlock("1234", "2.12.5", "40F5849A", "ZV-HUB")}));
}

}  // namespace

// --- Store root --------------------------------------------------------------

TEST(UpdaterStore, CreatesAMissingRootWithItsParents) {
    TempDir dir;
    const std::string root = dir.file("a/b/updater");
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(root.c_str());
    EXPECT_EQ(store.BasePath(), root);
    struct stat st {};
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_NE(log.text().find("UpdaterStore: Created directory [" + root + "].\n"),
              std::string::npos);

    UpdaterStore again(root.c_str());
    EXPECT_NE(log.text().find("UpdaterStore: [" + root + "] already exists.\n"), std::string::npos);
}

TEST(UpdaterStore, ARootThatIsAFileIsRefused) {
    TempDir dir;
    writeFile(dir.file("root"), "x");
    EXPECT_EQ(runtimeError([&] { UpdaterStore s(dir.file("root").c_str()); }),
              "UpdaterStore: " + dir.file("root") + " exists and is a file");
}

TEST(UpdaterStore, AnUncreatableRootIsRefusedWithTheErrorCode) {
    TempDir dir;
    writeFile(dir.file("file"), "x");
    const std::string root = dir.file("file/updater");
    EXPECT_EQ(runtimeError([&] { UpdaterStore s(root.c_str()); }),
              "UpdaterStore: Could not create directory " + root + " error " +
                  std::to_string(static_cast<int>(aErrPermission)));
}

// --- Devices -----------------------------------------------------------------

TEST(UpdaterStore, AddDeviceCreatesTheDirectoryAndItsAttributeFile) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(0x12AB4u);
    EXPECT_EQ(item.parent, dir.path());
    EXPECT_EQ(item.name, "00012AB4");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_TRUE(fs::is_directory(dir.file("00012AB4")));
    EXPECT_EQ((fs::status(dir.file("00012AB4")).permissions() & fs::perms::all),
              static_cast<fs::perms>(0755));
    const std::string settings = readFile(dir.file("00012AB4/.settings"));
    std::smatch m;
    EXPECT_TRUE(
        std::regex_match(settings, m, std::regex("CREATED_TIME=(.{24})\nUPDATED_TIME=(.{24})\n")))
        << settings;
    EXPECT_EQ(item.attributes.Size(), 2u);
    EXPECT_TRUE(std::regex_match(item.attributes.GetString("CREATED_TIME"), kTimestamp));

    // The first download's records land in that file.
    const testsupport::Bytes package = goodPackage();
    EXPECT_EQ(item.WriteFile("1234.bird", package.data(), package.size()), aErrNone);
    item.attributes.Add("LATEST_DOWNLOAD", "1234.bird");
    item.attributes.Add("LAST_DOWNLOAD_DATE", KeyValueStore::Timestamp());
    item.attributes.Save();
    const std::string saved = readFile(dir.file("00012AB4/.settings"));
    EXPECT_NE(saved.find("\nLAST_DOWNLOAD_DATE="), std::string::npos);
    EXPECT_NE(saved.find("\nLATEST_DOWNLOAD=1234.bird\n"), std::string::npos);
    EXPECT_EQ(namesIn(dir.file("00012AB4")), (std::set<std::string>{".settings", "1234.bird"}));

    // Again: the same directory, the attributes as saved.
    UpdaterStoreItem again = store.AddDevice("00012AB4");
    EXPECT_STREQ(again.attributes["LATEST_DOWNLOAD"], "1234.bird");
    EXPECT_EQ(again.attributes.GetString("CREATED_TIME"),
              item.attributes.GetString("CREATED_TIME"));
}

TEST(UpdaterStore, AddDeviceRefusesNamesThatLeaveTheRoot) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("root").c_str(), 0755), 0);
    UpdaterStore store(dir.file("root").c_str());
    for (const char* bad : {"", ".", "..", "../escape", "a/b"}) {
        EXPECT_NE(runtimeError([&] { store.AddDevice(bad); }), "(no exception)") << bad;
    }
    EXPECT_THROW(store.AddDevice(static_cast<const char*>(nullptr)), std::runtime_error);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"root"});
    EXPECT_TRUE(namesIn(dir.file("root")).empty());
}

TEST(UpdaterStore, AddDeviceOverAFileThrows) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    writeFile(dir.file("40F5849A"), "x");
    EXPECT_EQ(runtimeError([&] { store.AddDevice(0x40F5849Au); }),
              "UpdaterStore: " + dir.file("40F5849A") + " exists and is a file");
}

TEST(UpdaterStore, FindDeviceOfAnAbsentSerialSaysNotFound) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x40F5849Au, &item));
    EXPECT_FALSE(item.IsValid());
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 40F5849A.\n"), std::string::npos)
        << log.text();
}

TEST(UpdaterStore, FindDeviceMatchesTheExactNameOnly) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    // Names that merely contain the serial text are not the device.
    ASSERT_EQ(mkdir(dir.file("40F5849A.bak").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("X40F5849A").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("140F5849A").c_str(), 0755), 0);
    writeFile(dir.file("40F5849A.bak/.settings"), "LATEST_DOWNLOAD=9.bird\n");
    EXPECT_FALSE(store.FindDevice(0x40F5849Au));
    EXPECT_FALSE(store.FindDevice("0F5849A"));  // a part of a name is no match either

    // A plain file of that name is not a device directory.
    writeFile(dir.file("40F5849A"), "x");
    EXPECT_FALSE(store.FindDevice(0x40F5849Au));
    ASSERT_EQ(unlink(dir.file("40F5849A").c_str()), 0);

    ASSERT_EQ(mkdir(dir.file("40F5849A").c_str(), 0755), 0);
    writeFile(dir.file("40F5849A/.settings"), "LATEST_DOWNLOAD=1234.bird\n");
    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x40F5849Au, &item));
    EXPECT_EQ(item.parent, dir.path());
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_STREQ(item.attributes["LATEST_DOWNLOAD"], "1234.bird");
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Found 40F5849A.\n"), std::string::npos);
    EXPECT_NE(log.text().find("_find_item([" + dir.file("40F5849A") + "], 1, "), std::string::npos)
        << log.text();
    EXPECT_NE(log.text().find("searching for 40F5849A\n"), std::string::npos);
    // Case matters: the serial is written in upper case.
    EXPECT_FALSE(store.FindDevice("40f5849a"));
}

TEST(UpdaterStore, FindLocalBuildsListsEverythingButDotNames) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    std::vector<UpdaterStoreItem> items;
    items.emplace_back();  // the vector is appended to, not replaced
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849Au, items));  // not in the store: unchanged
    EXPECT_EQ(items.size(), 1u);

    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const testsupport::Bytes package = goodPackage();
    ASSERT_EQ(device.WriteFile("1234.bird", package.data(), package.size()), aErrNone);
    writeFile(dir.file("40F5849A/notes"), "n");
    writeFile(dir.file("40F5849A/.hidden"), "h");
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849Au, items));
    ASSERT_EQ(items.size(), 3u);
    std::vector<std::string> names;
    for (size_t i = 1; i < items.size(); ++i) {
        names.push_back(items[i].name);
        EXPECT_EQ(items[i].parent, dir.file("40F5849A"));
        EXPECT_EQ(items[i].kind, STORE_ITEM_FILE);
        // The attribute path lies below a file: only the timestamps, in memory.
        EXPECT_EQ(items[i].attributes.Size(), 2u);
        EXPECT_TRUE(items[i].attributes["CREATED_TIME"]);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1234.bird", "notes"}));
    EXPECT_EQ(namesIn(dir.file("40F5849A")),
              (std::set<std::string>{".settings", ".hidden", "1234.bird", "notes"}));
    EXPECT_NE(log.text().find("_find_items([" + dir.file("40F5849A/1234.bird") + "], 0, "),
              std::string::npos)
        << log.text();
}

TEST(UpdaterStore, ListDevicesShowsDeviceDirectoriesOnlyAndCreatesNothing) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    store.AddDevice(0x40F5849Au).attributes.Add("x", "y");
    ASSERT_EQ(mkdir(dir.file("00012AB4").c_str(), 0755), 0);  // no attribute file
    ASSERT_EQ(mkdir(dir.file("40F5849A.bak").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("notaserial").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("abcdef01").c_str(), 0755), 0);  // lower case: not "%08X"
    writeFile(dir.file("DEADBEEF"), "a file, not a device");
    std::vector<UpdaterStoreItem> devices;
    EXPECT_TRUE(store.ListDevices(devices));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name, "00012AB4");
    EXPECT_EQ(devices[0].attributes.Size(), 0u);
    EXPECT_EQ(devices[1].name, "40F5849A");
    EXPECT_TRUE(devices[1].attributes["CREATED_TIME"]);
    EXPECT_FALSE(fs::exists(dir.file("00012AB4/.settings")));
}

// --- Items -------------------------------------------------------------------

TEST(UpdaterStoreItem, EmptyItemIsInvalidAndTouchesNothing) {
    UpdaterStoreItem empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.kind, STORE_ITEM_NONE);
    EXPECT_EQ(empty.attributes.Size(), 0u);
    UpdaterStoreItem half("", "name", STORE_ITEM_DIRECTORY);
    EXPECT_FALSE(half.IsValid());
    EXPECT_EQ(half.attributes.Size(), 0u);  // no attribute file looked for
}

TEST(UpdaterStoreItem, FileExistsMatchesTheExactName) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    writeFile(dir.file("40F5849A/11234.bird"), "x");
    writeFile(dir.file("40F5849A/1234.bird.old"), "x");
    ASSERT_EQ(mkdir(dir.file("40F5849A/1234.bird").c_str(), 0755), 0);  // a directory is no file
    LogCapture log(DEBUG_Updater);
    EXPECT_FALSE(device.FileExists("1234.bird"));
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 1234.bird.\n"),
              std::string::npos);
    ASSERT_EQ(rmdir(dir.file("40F5849A/1234.bird").c_str()), 0);
    writeFile(dir.file("40F5849A/1234.bird"), "x");
    EXPECT_TRUE(device.FileExists("1234.bird"));
    EXPECT_TRUE(device.FileExists(".settings"));
    EXPECT_FALSE(device.FileExists(""));
    EXPECT_FALSE(device.FileExists(nullptr));
}

TEST(UpdaterStoreItem, WriteFileRefusesNullDataAndCreatesNothing) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    EXPECT_EQ(device.WriteFile("1234.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(fs::exists(dir.file("40F5849A/1234.bird")));
    for (const char* bad : {"", ".", "..", "../x", "a/b"}) {
        const unsigned char byte = 1;
        EXPECT_EQ(device.WriteFile(bad, &byte, 1), aErrParam) << bad;
    }
    EXPECT_EQ(namesIn(dir.file("40F5849A")), std::set<std::string>{".settings"});
}

TEST(UpdaterStoreItem, WriteFileReplacesAtomically) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const std::string path = dir.file("40F5849A/1234.bird");
    const unsigned char first[] = "first";
    mode_t oldMask = umask(022);
    ASSERT_EQ(device.WriteFile("1234.bird", first, 5), aErrNone);
    umask(oldMask);
    EXPECT_EQ(readFile(path), "first");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    std::ifstream reader(path, std::ios::binary);
    const unsigned char second[] = "second!";
    ASSERT_EQ(device.WriteFile("1234.bird", second, 7), aErrNone);
    EXPECT_EQ(readFile(path), "second!");
    std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "first");
    EXPECT_EQ(namesIn(dir.file("40F5849A")), (std::set<std::string>{".settings", "1234.bird"}));
}

TEST(UpdaterStoreItem, WriteFileFailuresLeaveTheOldContent) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    // The name is a directory: the rename fails, the directory stays.
    ASSERT_EQ(mkdir(dir.file("40F5849A/1234.bird").c_str(), 0755), 0);
    writeFile(dir.file("40F5849A/1234.bird/keep"), "k");
    const unsigned char data[] = "data";
    EXPECT_EQ(device.WriteFile("1234.bird", data, 4), aErrIO);
    EXPECT_EQ(readFile(dir.file("40F5849A/1234.bird/keep")), "k");
    EXPECT_EQ(namesIn(dir.file("40F5849A")), (std::set<std::string>{".settings", "1234.bird"}));
    // The device directory vanished: cannot be created.
    fs::remove_all(dir.file("40F5849A"));
    EXPECT_EQ(device.WriteFile("1234.bird", data, 4), aErrNotFound);
    EXPECT_FALSE(fs::exists(dir.file("40F5849A")));
}

TEST(UpdaterStoreItem, ReadBirdFile) {
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    EXPECT_EQ(runtimeError([&] { device.ReadBirdFile("1234.bird"); }),
              "Invalid bird " + dir.file("40F5849A/1234.bird"));

    const testsupport::Bytes package = goodPackage();
    ASSERT_EQ(device.WriteFile("1234.bird", package.data(), package.size()), aErrNone);
    BirdFile bird = device.ReadBirdFile("1234.bird");
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "2.12.5");
    EXPECT_EQ(bird.Path(), dir.file("40F5849A/1234.bird"));

    // A BIRD header over a payload that is no zlib stream.
    const unsigned char broken[] = {'b', 'i', 'r', 'd', 1,   1,   'n',
                                    'o', 't', ' ', 'z', 'l', 'i', 'b'};
    ASSERT_EQ(device.WriteFile("9.bird", broken, sizeof broken), aErrNone);
    EXPECT_EQ(runtimeError([&] { device.ReadBirdFile("9.bird"); }), "Failed to load bird data");
    // A header that is not a BIRD header.
    const unsigned char notBird[] = {'b', 'i', 'r', 'x', 1, 1, 0, 0};
    ASSERT_EQ(device.WriteFile("8.bird", notBird, sizeof notBird), aErrNone);
    EXPECT_EQ(runtimeError([&] { device.ReadBirdFile("8.bird"); }),
              "Invalid bird " + dir.file("40F5849A/8.bird"));
}

// --- aFile_WriteAtomic -------------------------------------------------------

TEST(FileWriteAtomic, RefusesBadArguments) {
    TempDir dir;
    EXPECT_EQ(aFile_WriteAtomic(nullptr, "x", 1), aErrParam);
    EXPECT_EQ(aFile_WriteAtomic("", "x", 1), aErrParam);
    EXPECT_EQ(aFile_WriteAtomic(dir.file("f").c_str(), nullptr, 1), aErrParam);
    EXPECT_EQ(
        aFile_WriteAtomic((dir.path() + "/" + std::string(aFILE_MAX_PATH, 'a')).c_str(), "x", 1),
        aErrFileNameLength);
    EXPECT_EQ(aFile_WriteAtomic(dir.file("missing/f").c_str(), "x", 1), aErrNotFound);
    EXPECT_EQ(aFile_WriteAtomic((dir.path() + "/").c_str(), "x", 1), aErrIO);
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST(FileWriteAtomic, WritesNewAndEmptyFiles) {
    TempDir dir;
    mode_t old = umask(022);
    EXPECT_EQ(aFile_WriteAtomic(dir.file("f").c_str(), "hello", 5), aErrNone);
    EXPECT_EQ(aFile_WriteAtomic(dir.file("empty").c_str(), nullptr, 0), aErrNone);
    umask(old);
    EXPECT_EQ(readFile(dir.file("f")), "hello");
    EXPECT_TRUE(fs::exists(dir.file("empty")));
    EXPECT_EQ(fs::file_size(dir.file("empty")), 0u);
    EXPECT_EQ(fs::status(dir.file("f")).permissions() & fs::perms::all,
              static_cast<fs::perms>(0644));
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"f", "empty"}));
}

TEST(FileWriteAtomic, AReplacedFileKeepsItsPermissions) {
    TempDir dir;
    writeFile(dir.file("private"), "old");
    ASSERT_EQ(chmod(dir.file("private").c_str(), 0600), 0);
    EXPECT_EQ(aFile_WriteAtomic(dir.file("private").c_str(), "new", 3), aErrNone);
    EXPECT_EQ(readFile(dir.file("private")), "new");
    EXPECT_EQ(fs::status(dir.file("private")).permissions() & fs::perms::all, static_cast<fs::perms>(0600));
}

TEST(FileWriteAtomic, RelativePathsUseTheCurrentDirectory) {
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    aErr err = aFile_WriteAtomic("plain", "abc", 3);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(readFile(dir.file("plain")), "abc");
}

TEST(FileWriteAtomic, ASymbolicLinkIsReplacedNotFollowed) {
    TempDir dir;
    writeFile(dir.file("target"), "target");
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    EXPECT_EQ(aFile_WriteAtomic(dir.file("link").c_str(), "new", 3), aErrNone);
    EXPECT_EQ(readFile(dir.file("target")), "target");
    EXPECT_FALSE(fs::is_symlink(dir.file("link")));
    EXPECT_EQ(readFile(dir.file("link")), "new");
}

TEST(FileWriteAtomic, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    const std::string path = dir.file("f");
    const std::string old(300, 'o');
    writeFile(path, old);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            1024, 1024
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string data(8192, 'n');
        aErr err = aFile_WriteAtomic(path.c_str(), data.data(), data.size());
        _exit(err == aErrIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"f"});
}
