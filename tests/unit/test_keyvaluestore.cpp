// KeyValueStore: file format, key order, timestamps, getters with
// their insertion side effect, and saving by atomic replacement.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "KeyValueStore.h"
#include "Log.h"
#include "log_capture.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::LogCapture;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// ctime's 24-character form: "Wed Dec  9 12:58:13 2026".
const std::regex kTimestamp(
    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");

size_t entriesIn(const std::string& dir) {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir);
         it != std::filesystem::directory_iterator(); ++it)
        ++n;
    return n;
}

}  // namespace

TEST(KeyValueStore, TimestampIsCtimeWithoutLineEnd) {
    std::string t = KeyValueStore::Timestamp();
    EXPECT_EQ(t.size(), 24u) << t;
    EXPECT_TRUE(std::regex_match(t, kTimestamp)) << t;
}

TEST(KeyValueStore, ConstantsAreTheSpecifiedTexts) {
    EXPECT_STREQ(KeyValueStore::DEFAULT_FILENAME, ".settings");
    EXPECT_STREQ(KeyValueStore::KEY_CREATED_TIME, "CREATED_TIME");
    EXPECT_STREQ(KeyValueStore::KEY_UPDATED_TIME, "UPDATED_TIME");
}

TEST(KeyValueStore, NullNameLeavesTheStoreEmptyAndUnnamed) {
    KeyValueStore kv(nullptr);
    EXPECT_EQ(kv.Size(), 0u);
    EXPECT_EQ(kv.FileName(), "");
    EXPECT_FALSE(kv.Changed());
}

TEST(KeyValueStore, LoadingAMissingFileCreatesItWithBothTimestamps) {
    TempDir dir;
    const std::string path = dir.file("attrs");
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv(path.c_str());

    EXPECT_EQ(kv.Size(), 2u);
    EXPECT_TRUE(std::regex_match(kv.GetString("CREATED_TIME"), kTimestamp));
    EXPECT_TRUE(std::regex_match(kv.GetString("UPDATED_TIME"), kTimestamp));
    EXPECT_FALSE(kv.Changed());
    EXPECT_EQ(kv.FileName(), path);
    EXPECT_EQ(readFile(path), "CREATED_TIME=" + kv.GetString("CREATED_TIME") +
                                  "\nUPDATED_TIME=" + kv.GetString("UPDATED_TIME") + "\n");
    EXPECT_NE(
        log.text().find("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"),
        std::string::npos)
        << log.text();
}

TEST(KeyValueStore, LoadingMergesIntoWhatTheStoreHolds) {
    TempDir dir;
    KeyValueStore kv;
    kv.Add("HELD", "1");
    kv.Load(dir.file("missing").c_str());
    EXPECT_EQ(kv.Size(), 3u);
    EXPECT_EQ(kv.GetString("HELD"), "1");
    EXPECT_NE(readFile(dir.file("missing")).find("HELD=1\n"), std::string::npos);

    writeFile(dir.file("other"), "A=2\nHELD=3\n");
    kv.Load(dir.file("other").c_str());
    EXPECT_EQ(kv.GetString("A"), "2");
    EXPECT_EQ(kv.GetString("HELD"), "3");
    EXPECT_TRUE(kv["CREATED_TIME"]);
    EXPECT_FALSE(kv.Changed());  // cleared at the start of every load
}

TEST(KeyValueStore, LineParsingRules) {
    TempDir dir;
    const std::string path = dir.file("attrs");
    writeFile(path,
              " key = a=b \r\n"  // blanks around key and value, CR LF line end
              "#x=1\n"           // comment
              " #y=1\n"          // not a comment: key "#y"
              "\tTAB\t=\tv w\t\n"
              "no equals sign here\n"
              "= orphan value\n"  // empty key: skipped
              "\n"
              "z\n"  // short line
              "dup=first\n"
              "dup=second\n"
              "empty=\n"
              "blank=   \n"
              "a=");  // two characters without a line end: ignored
    KeyValueStore kv(path.c_str());
    EXPECT_EQ(kv.GetString("key"), "a=b");
    EXPECT_EQ(kv["#x"], nullptr);
    EXPECT_STREQ(kv["#y"], "1");
    EXPECT_STREQ(kv["TAB"], "v w");
    EXPECT_EQ(kv["no equals sign here"], nullptr);
    EXPECT_EQ(kv[""], nullptr);
    EXPECT_STREQ(kv["dup"], "second");
    EXPECT_STREQ(kv["empty"], "");
    EXPECT_STREQ(kv["blank"], "");
    EXPECT_EQ(kv["a"], nullptr);
    EXPECT_EQ(kv.Size(), 6u);

    kv.Save();
    EXPECT_EQ(readFile(path), "#y=1\nTAB=v w\nblank=\ndup=second\nempty=\nkey=a=b\n");
}

TEST(KeyValueStore, AnEqualsLineWithLineEndLoadsAnEmptyValue) {
    TempDir dir;
    writeFile(dir.file("f"), "a=\n");
    KeyValueStore kv(dir.file("f").c_str());
    ASSERT_NE(kv["a"], nullptr);
    EXPECT_STREQ(kv["a"], "");
}

TEST(KeyValueStore, LongestLineFitsAndALongerOneEndsTheLoad) {
    TempDir dir;
    // 2047 characters with the line feed: read whole.
    std::string fits = "K=" + std::string(2047 - 3, 'v') + "\n";
    ASSERT_EQ(fits.size(), 2047u);
    std::string tooLong = "L=" + std::string(2047, 'w') + "\n";
    writeFile(dir.file("f"), "A=1\n" + fits + tooLong + "B=2\n");
    KeyValueStore kv(dir.file("f").c_str());
    EXPECT_STREQ(kv["A"], "1");
    ASSERT_NE(kv["K"], nullptr);
    EXPECT_EQ(std::string(kv["K"]).size(), 2044u);
    EXPECT_EQ(kv["L"], nullptr);
    EXPECT_EQ(kv["B"], nullptr);  // the load ended at the long line
}

TEST(KeyValueStore, SavedFilesListKeysInByteOrder) {
    TempDir dir;
    KeyValueStore kv;
    kv.Add("a", "x");
    kv.Add("B", "y");
    kv.Add("LATEST_DOWNLOAD", "1234.bird");
    kv.Add("LAST_DOWNLOAD_DATE", "Wed Dec  9 12:58:13 2026");
    kv.Save(dir.file("f").c_str());
    const std::string updated = kv.GetString("UPDATED_TIME");
    EXPECT_TRUE(std::regex_match(updated, kTimestamp));
    EXPECT_EQ(readFile(dir.file("f")),
              "B=y\nLAST_DOWNLOAD_DATE=Wed Dec  9 12:58:13 2026\nLATEST_DOWNLOAD=1234.bird\n"
              "UPDATED_TIME=" +
                  updated + "\na=x\n");
    EXPECT_FALSE(kv.Changed());
}

TEST(KeyValueStore, ASaveWithoutChangeWritesNoUpdatedTime) {
    TempDir dir;
    writeFile(dir.file("f"), "X=1\n");
    KeyValueStore kv(dir.file("f").c_str());
    kv.Save();
    EXPECT_EQ(readFile(dir.file("f")), "X=1\n");
    kv.Add("X", "1");  // same text: no change
    kv.Save();
    EXPECT_EQ(readFile(dir.file("f")), "X=1\n");
}

TEST(KeyValueStore, NumericGettersInsertAnAbsentKeyWithoutMarkingAChange) {
    TempDir dir;
    writeFile(dir.file("f"), "X=1\n");
    KeyValueStore kv(dir.file("f").c_str());
    EXPECT_EQ(kv.GetInt("N", 7), 7);
    EXPECT_FALSE(kv.Changed());
    ASSERT_NE(kv["N"], nullptr);
    EXPECT_STREQ(kv["N"], "");
    EXPECT_EQ(kv.GetHex("H", 5u), 5u);
    EXPECT_TRUE(kv.GetBOOL("B", true));
    EXPECT_DOUBLE_EQ(kv.GetDouble("D", 1.25), 1.25);
    EXPECT_FALSE(kv.Changed());
    kv.Save();
    EXPECT_EQ(readFile(dir.file("f")), "B=\nD=\nH=\nN=\nX=1\n");
    // An empty value gives the default too.
    EXPECT_EQ(kv.GetInt("N", 9), 9);
}

TEST(KeyValueStore, GetStringAndIndexNeverInsert) {
    KeyValueStore kv;
    EXPECT_EQ(kv.GetString("absent", "dflt"), "dflt");
    EXPECT_EQ(kv.GetString("absent"), "");
    EXPECT_EQ(kv.GetString("absent", nullptr), "");
    const KeyValueStore& c = kv;
    EXPECT_EQ(c["absent"], nullptr);
    EXPECT_EQ(kv.Size(), 0u);
    kv.Add("E", "");
    EXPECT_EQ(kv.GetString("E", "dflt"), "");  // present, even if empty
}

TEST(KeyValueStore, NumericConversions) {
    KeyValueStore kv;
    kv.Add("i1", "  -12abc");
    kv.Add("i2", "abc");
    kv.Add("i3", "+42");
    kv.Add("i4", "1234.bird");
    kv.Add("h1", "0x0000001F");
    kv.Add("h2", "1f");
    kv.Add("h3", "0XABCDEF01");
    kv.Add("b1", "true");
    kv.Add("b2", "2");
    kv.Add("b3", "0");
    kv.Add("d1", "2.5");
    kv.Add("d2", "-1e3");
    EXPECT_EQ(kv.GetInt("i1", 7), -12);
    EXPECT_EQ(kv.GetInt("i2", 7), 0);
    EXPECT_EQ(kv.GetInt("i3", 7), 42);
    EXPECT_EQ(kv.GetInt("i4", 7), 1234);
    EXPECT_EQ(kv.GetHex("h1", 0), 31u);
    EXPECT_EQ(kv.GetHex("h2", 0), 31u);
    EXPECT_EQ(kv.GetHex("h3", 0), 0xABCDEF01u);
    EXPECT_FALSE(kv.GetBOOL("b1", true));  // only numbers count
    EXPECT_TRUE(kv.GetBOOL("b2", false));
    EXPECT_FALSE(kv.GetBOOL("b3", true));
    EXPECT_DOUBLE_EQ(kv.GetDouble("d1", 0), 2.5);
    EXPECT_DOUBLE_EQ(kv.GetDouble("d2", 0), -1000.0);
}

TEST(KeyValueStore, AddFormatsAndChangedFlag) {
    KeyValueStore kv;
    EXPECT_TRUE(kv.Add("i", -5));
    EXPECT_STREQ(kv["i"], "-5");
    EXPECT_TRUE(kv.Add("d", 1.5));
    EXPECT_STREQ(kv["d"], "1.500000");
    EXPECT_TRUE(kv.AddHex("h", 31));
    EXPECT_STREQ(kv["h"], "0x0000001F");
    EXPECT_TRUE(kv.Add("s", std::string("text")));
    EXPECT_TRUE(kv.Add("n", static_cast<const char*>(nullptr)));
    EXPECT_STREQ(kv["n"], "");

    TempDir dir;
    kv.Save(dir.file("f").c_str());
    ASSERT_FALSE(kv.Changed());
    EXPECT_TRUE(kv.Add("k", "v"));  // new text: changed
    EXPECT_TRUE(kv.Changed());
    kv.Save();
    ASSERT_FALSE(kv.Changed());
    EXPECT_TRUE(kv.Add("k", "v"));  // same text again: flag left as it was
    EXPECT_FALSE(kv.Changed());
    EXPECT_TRUE(kv.Add("absent", ""));  // absent counts as empty text: no change
    EXPECT_FALSE(kv.Changed());
    EXPECT_TRUE(kv.AddHex("h", 31));
    EXPECT_FALSE(kv.Changed());
    EXPECT_TRUE(kv.Add("i", -5));
    EXPECT_FALSE(kv.Changed());
}

TEST(KeyValueStore, AddStoreAndClear) {
    TempDir dir;
    KeyValueStore kv;
    kv.Add("a", "1");
    kv.Save(dir.file("f").c_str());
    KeyValueStore empty;
    kv.Add(empty);
    EXPECT_FALSE(kv.Changed());
    KeyValueStore other;
    other.Add("a", "2");
    other.Add("b", "3");
    kv.Add(other);
    EXPECT_TRUE(kv.Changed());
    EXPECT_STREQ(kv["a"], "2");
    EXPECT_STREQ(kv["b"], "3");
    kv.Save();
    EXPECT_TRUE(kv.Clear());
    EXPECT_TRUE(kv.Changed());
    EXPECT_EQ(kv.Size(), 0u);
    EXPECT_EQ(kv.FileName(), dir.file("f"));
}

TEST(KeyValueStore, CopiesAreIndependent) {
    KeyValueStore kv;
    kv.Add("a", "1");
    KeyValueStore copy = kv;
    copy.Add("a", "2");
    EXPECT_STREQ(kv["a"], "1");
    EXPECT_STREQ(copy["a"], "2");
    EXPECT_TRUE(copy.Changed());
}

TEST(KeyValueStore, SaveWithoutAnyNameWritesDotSettingsInTheCurrentDirectory) {
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("X", "1");
    kv.Save();
    std::string content = readFile(dir.file(".settings"));
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(kv.FileName(), ".settings");
    EXPECT_EQ(content.rfind("UPDATED_TIME=", 0), 0u) << content;
    EXPECT_NE(content.find("X=1\n"), std::string::npos);
    EXPECT_NE(
        log.text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
        std::string::npos);
}

// --- Atomic replacement -----------------------------------------------------

TEST(KeyValueStoreAtomic, SaveReplacesTheFileInsteadOfRewritingIt) {
    TempDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "OLD=1\n");
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    std::ifstream reader(path);  // a reader that opened the old file

    KeyValueStore kv(path.c_str());
    kv.Add("NEW", "2");
    kv.Save();

    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);  // a new file took the name
    std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "OLD=1\n");  // the old content was never truncated
    EXPECT_NE(readFile(path).find("NEW=2\n"), std::string::npos);
    EXPECT_EQ(entriesIn(dir.path()), 1u);  // no temporary file left
}

TEST(KeyValueStoreAtomic, AFailedSaveOverADirectoryLeavesItAndTheStoreAsTheyWere) {
    TempDir dir;
    const std::string path = dir.file("f");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    writeFile(path + "/inside", "keep");
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("A", "1");
    kv.Save(path.c_str());
    EXPECT_TRUE(kv.Changed());  // still marked changed
    EXPECT_EQ(readFile(path + "/inside"), "keep");
    EXPECT_EQ(entriesIn(dir.path()), 1u);  // the temporary file is gone
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                              path + "' ("),
              std::string::npos)
        << log.text();
}

TEST(KeyValueStoreAtomic, AFailedSaveIntoAVanishedDirectoryCreatesNothing) {
    TempDir dir;
    const std::string sub = dir.file("device");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    KeyValueStore kv((sub + "/.settings").c_str());
    std::filesystem::remove_all(sub);
    kv.Add("A", "1");
    kv.Save();
    EXPECT_TRUE(kv.Changed());
    EXPECT_FALSE(std::filesystem::exists(sub));
}

TEST(KeyValueStoreAtomic, AWriteThatFailsHalfwayLeavesTheOldFileIntact) {
    TempDir dir;
    const std::string path = dir.file("f");
    const std::string old = "OLD=" + std::string(100, 'o') + "\n";
    writeFile(path, old);
    // In a child, cap the file size below the new content: the write of the
    // temporary file fails part way (EFBIG), as a full disk would.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            512, 512
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        KeyValueStore kv(path.c_str());
        kv.Add("NEW", std::string(4096, 'n'));
        kv.Save();
        _exit(kv.Changed() ? 0 : 1);  // 0: the save failed and said so
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}
