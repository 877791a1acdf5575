// -B, -L, -G and -J through the real Updater binary against the reference
// update server on loopback, with good and misbehaving servers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"
#include "update_server.h"

using testsupport::readFile;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::UpdateServer;
using testsupport::writeFile;

namespace {

const std::string kSerial = "40F5849A";
const std::string kBirdtool = std::string(BUILD_DIR) + "/tools/birdtool/birdtool";

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// A firmware folder holding builds of one device, made with birdtool.
struct Mirror {
    TempDir root;
    TempDir work;

    void addBuild(unsigned build, const std::string& version) {
        std::string dir = root.file(kSerial);
        mkdir(dir.c_str(), 0755);
        std::string image = work.file("fw" + std::to_string(build) + ".bin");
        std::string content;
        for (unsigned i = 0; i < 3000; ++i) content.push_back(static_cast<char>((i * 31 + build) & 0xFF));
        writeFile(image, content);
        writeFile(work.file("loader.bin"), "LOADER-CODE");
        RunResult r = testsupport::run({kBirdtool, "pack", "-o", dir + "/" + std::to_string(build) + ".bird",
                                        "--loader", "0x20000000:" + work.file("loader.bin"), "--firmware",
                                        "0x8000:" + image, "--build", std::to_string(build), "--version", version,
                                        "--serial", kSerial, "--model", "ZV-Hub8"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string package(unsigned build) { return root.file(kSerial + "/" + std::to_string(build) + ".bird"); }
};

struct UpdaterRun {
    TempDir store;
    RunResult operator()(const std::string& url, std::vector<std::string> args, double timeout = 30) {
        std::vector<std::string> argv = {UPDATER_BIN, "-i", store.path(), "-u", url};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.timeoutSeconds = timeout;
        return testsupport::run(argv, options);
    }
    std::string device(const std::string& name = "") const {
        return store.path() + "/updater/" + kSerial + (name.empty() ? "" : "/" + name);
    }
};

}  // namespace

TEST(Acquisition, BuildListsAndTokenFromTheServer) {
    Mirror mirror;
    mirror.addBuild(1234, "2.12.5");
    mirror.addBuild(1190, "2.9.0");
    mirror.addBuild(1300, "2.12.10");
    UpdateServer server(mirror.root.path());
    ASSERT_TRUE(server.ok());
    UpdaterRun run;

    RunResult r = run(server.url(), {"-B", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    size_t body = r.out.find("Build List for device [40F5849A]:\n\n");
    ASSERT_NE(body, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(body),
              "Build List for device [40F5849A]:\n\n"
              "Build          \tVersion        \n"
              "1300           \t2.12.10        \n"
              "1234           \t2.12.5         \n"
              "1190           \t2.9.0          \n");

    r = run(server.url(), {"-B", "-d", "0BADBAD0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("No builds found for device [0BADBAD0]"), std::string::npos);

    r = run(server.url(), {"-J", "-d", kSerial});
    EXPECT_EQ(r.status, 0);
    std::string token = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
    EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2) << token;

    writeFile(mirror.root.file(kSerial + "/token.jwt"), "hh.pp.ss\n");
    r = run(server.url(), {"-J", "-d", kSerial});
    EXPECT_EQ(r.out.substr(r.out.size() - 9), "hh.pp.ss\n");
}

TEST(Acquisition, GetStoresThePackageAndListsItLocally) {
    Mirror mirror;
    mirror.addBuild(1234, "2.12.5");
    mirror.addBuild(1300, "2.13.0");
    UpdateServer server(mirror.root.path());
    ASSERT_TRUE(server.ok());
    UpdaterRun run;

    // Latest build.
    RunResult r = run(server.url(), {"-G", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* line : {"Retrieving firmware for device with serial number 40F5849A", "No build specified",
                             "Using Latest build", "Retrieving build 1300", "Validating build 1300 with server",
                             "Build 1300 is valid"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(readFile(run.device("1300.bird")), readFile(mirror.package(1300)));
    std::string settings = readFile(run.device(".settings"));
    EXPECT_NE(settings.find("LATEST_DOWNLOAD"), std::string::npos) << settings;
    EXPECT_NE(settings.find("1300.bird"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE"), std::string::npos);

    // A named build.
    r = run(server.url(), {"-G", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Retrieving firmware build 1234"), std::string::npos);
    EXPECT_EQ(readFile(run.device("1234.bird")), readFile(mirror.package(1234)));
    EXPECT_NE(readFile(run.device(".settings")).find("1234.bird"), std::string::npos);

    // -L lists both with the versions read from the packages.
    r = run(server.url(), {"-L", "-d", kSerial});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1300           \t2.13.0         \n1234           \t2.12.5         \n"), std::string::npos)
        << r.out;

    // A build the server does not list.
    r = run(server.url(), {"-G", "-d", kSerial, "-b", "999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No valid build 999"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(run.device("999.bird")));
}

TEST(Acquisition, GetThenUpdateUsesTheDownloadedBuild) {
    Mirror mirror;
    mirror.addBuild(1234, "2.12.5");
    UpdateServer server(mirror.root.path());
    ASSERT_TRUE(server.ok());
    UpdaterRun run;
    RunResult r = run(server.url(), {"-G", "-U", "-d", kSerial});
    // The download happens first; the update then runs with that build.
    EXPECT_TRUE(exists(run.device("1234.bird")));
    size_t download = r.out.find("Retrieving build 1234");
    ASSERT_NE(download, std::string::npos) << r.out;
    EXPECT_EQ(r.status, 1);  // no module is attached in this test
}

TEST(Acquisition, MisbehavingServersAreReportedAndNothingIsRecorded) {
    Mirror mirror;
    mirror.addBuild(1234, "2.12.5");
    struct Case {
        std::vector<std::string> fault;
        std::string message;
    } cases[] = {
        {{"--fault", "hi=http500"}, "Server request failed for "},
        {{"--fault", "hi=refuse"}, "Server request failed for "},
        {{"--fault", "qu=refuse"}, "No build information for device"},
        {{"--fault", "builds=http500"}, "No valid build 1234"},
        {{"--fault", "bird=empty-package"}, "Failed to retrieve a valid BIRD file"},
        {{"--fault", "bird=bad-base64"}, "Failed to decode the downloaded BIRD file"},
        {{"--fault", "bird=damaged-package"}, "The downloaded BIRD file is not usable"},
        {{"--fault", "bird=http500"}, "Download failed"},
    };
    for (const auto& c : cases) {
        UpdateServer server(mirror.root.path(), c.fault);
        ASSERT_TRUE(server.ok());
        UpdaterRun run;
        RunResult r = run(server.url(), {"-G", "-d", kSerial});
        EXPECT_EQ(r.status, 1) << c.fault[1];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.fault[1] << "\n" << r.err;
        EXPECT_FALSE(exists(run.device("1234.bird"))) << c.fault[1];
        EXPECT_EQ(readFile(run.device(".settings")).find("LATEST_DOWNLOAD"), std::string::npos) << c.fault[1];
    }

    // Nobody listening.
    testsupport::ClosedPort closed;
    UpdaterRun run;
    RunResult r = run(closed.url(), {"-G", "-d", kSerial});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Server request failed for " + closed.url()), std::string::npos) << r.err;
    r = run(closed.url(), {"-B", "-d", kSerial});
    EXPECT_NE(r.out.find("No builds found for device [40F5849A]"), std::string::npos);
    r = run(closed.url(), {"-J", "-d", kSerial});
    EXPECT_NE(r.err.find("Server request failed for"), std::string::npos);
}

TEST(Acquisition, StalledServerEndsTheRun) {
    Mirror mirror;
    mirror.addBuild(1234, "2.12.5");
    UpdateServer server(mirror.root.path(), {"--fault", "bird=stall", "--stall-seconds", "120"});
    ASSERT_TRUE(server.ok());
    UpdaterRun run;
    auto start = std::chrono::steady_clock::now();
    RunResult r = run(server.url(), {"-G", "-d", kSerial}, 90);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Download failed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Timeout"), std::string::npos) << r.err;
    EXPECT_LT(seconds, 60.0);
}

TEST(Acquisition, HttpsNeedsATrustedCertificate) {
    TempDir certs;
    ASSERT_EQ(testsupport::run({std::string(SOURCE_DIR) + "/tests/support/make-test-certs", certs.path()}).status, 0);
    Mirror mirror;
    mirror.addBuild(1234, "2.12.5");
    UpdateServer server(mirror.root.path(),
                        {"--cert", certs.file("localhost.pem"), "--key", certs.file("localhost.key")});
    ASSERT_TRUE(server.ok());
    UpdaterRun run;
    RunResult r = run(server.url(), {"-B", "-d", kSerial});
    EXPECT_NE(r.err.find("Server request failed for " + server.url()), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("1234 "), std::string::npos);

    r = run(server.url(), {"--cacert", certs.file("ca.pem"), "-G", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(run.device("1234.bird")), readFile(mirror.package(1234)));
}

TEST(Acquisition, BuildTextThatIsNotANumber) {
    UpdaterRun run;
    testsupport::ClosedPort closed;
    // On the command line -b abc becomes build 0, the latest; nothing listens,
    // so the run stops at the server.
    RunResult r = run(closed.url(), {"-G", "-d", kSerial, "-b", "abc"});
    EXPECT_NE(r.out.find("Retrieving firmware build 0"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Server request failed"), std::string::npos);
}
