// Firmware updates through the real Updater binary against simulated
// modules: directly over USB (the libusb stand-in) and TCP/IP, through a
// router, from a package path or the store, with the reference update
// server, in UEI-bytes mode, and with the module misbehaving. The
// simulator's report tells what reached its flash.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery_lock.h"
#include "process.h"
#include "tempdir.h"
#include "update_server.h"

namespace {

using testsupport::Background;
using testsupport::readFile;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::writeFile;

const std::string kZvsim = BUILD_DIR "/sim/zvsim";
const std::string kBirdtool = BUILD_DIR "/tools/birdtool/birdtool";
const std::string kStandIn = BUILD_DIR "/tests/fakes/libzv_libusb_fake.so";
// Nothing listens there: runs that must not reach a server fail fast.
const std::string kNoServer = "http://127.0.0.1:1/cgi/u";

constexpr uint32_t kFirmwareAddress = 0x8000;
constexpr uint32_t kSerialOffset = 0x10;  // where the firmware keeps its serial number

std::string sha256(const std::string& path) {
    RunResult r = testsupport::run({"sha256sum", path});
    return r.out.substr(0, 64);
}

std::string hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

// A package made with birdtool, and what the device's flash must hold after
// it was sent to a device with a given serial number.
struct PackageOptions {
    std::string model = "ZV-Hub8";
    std::string serial = "00000000";
    bool serialBlock = true;
    size_t firmwareSize = 3000;
    unsigned build = 1234;
};

struct Package {
    Package(const TempDir& dir, const std::string& name,
            const PackageOptions& options = PackageOptions{})
        : dir_(dir), options_(options) {
        path = dir.file(name);
        for (size_t i = 0; i < options.firmwareSize; ++i)
            firmware.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
        writeFile(dir.file(name + ".fw"), firmware);
        writeFile(dir.file(name + ".ld"), std::string(300, 'L'));
        std::vector<std::string> args = {kBirdtool,    "pack",
                                         "-o",         path,
                                         "--loader",   "0x20000000:" + dir.file(name + ".ld"),
                                         "--firmware", "0x8000:" + dir.file(name + ".fw"),
                                         "--build",    std::to_string(options.build),
                                         "--version",  "2.13.0",
                                         "--serial",   options.serial,
                                         "--model",    options.model};
        if (options.serialBlock) {
            args.push_back("--serial-block");
            args.push_back(std::to_string(kFirmwareAddress + kSerialOffset) + ":0");
        }
        packed = testsupport::run(args).status == 0;
    }

    // The sha256 of the firmware as flashed into the device `serial`.
    std::string flashedSha(uint32_t serial) const {
        std::string image = firmware;
        if (options_.serialBlock)
            for (int i = 0; i < 4; ++i)
                image[kSerialOffset + i] = static_cast<char>(serial >> (8 * i));
        const std::string file = dir_.file("expected-" + hex8(serial));
        writeFile(file, image);
        return sha256(file);
    }

    std::string path;
    std::string firmware;
    bool packed = false;

  private:
    const TempDir& dir_;
    PackageOptions options_;
};

// The simulator, its USB socket directory and its report.
struct Sim {
    explicit Sim(const std::vector<std::string>& modules) {
        std::vector<std::string> argv = {
            kZvsim,      "--tcp-bind", "0.0.0.0", "--report", files.file("report.json"),
            "--usb-dir", usb.path()};
        for (const std::string& m : modules) {
            argv.push_back("--module");
            argv.push_back(m);
        }
        process = std::make_unique<Background>(argv);
        started = !process->waitForLine("started").empty();
    }
    // Stops the simulator; its report, with one module's part cut out.
    std::string report(const std::string& serial) {
        process->stop();
        const std::string all = readFile(files.file("report.json"));
        const size_t at = all.find("\"serial\": \"" + serial + "\"");
        if (at == std::string::npos) return {};
        return all.substr(at, all.find("\n    }", at) - at);
    }
    TempDir usb, files;
    std::unique_ptr<Background> process;
    bool started = false;
};

// One Updater run on the simulator's devices, with its own store.
struct UpdaterRun {
    TempDir home;
    RunResult operator()(const Sim& sim, std::vector<std::string> args,
                         const std::string& url = kNoServer) {
        args.insert(args.begin(), {UPDATER_BIN, "-i", home.path(), "-u", url});
        RunOptions options;
        const char* asan = getenv("ASAN_OPTIONS");
        options.env = {
            {"LD_PRELOAD", kStandIn},
            {"ZV_FAKE_USB_DIR", sim.usb.path()},
            {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
        options.timeoutSeconds = 60;
        return testsupport::run(args, options);
    }
    std::string settings(const std::string& serial) const {
        return readFile(home.path() + "/updater/" + serial + "/.settings");
    }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The module's part of the report holds exactly this flashed region.
std::string flashedRegion(const Package& package, uint32_t serial) {
    return "\"flashed\": [\n        {\"address\": " + std::to_string(kFirmwareAddress) +
           ", \"length\": " + std::to_string(package.firmware.size()) + ", \"sha256\": \"" +
           package.flashedSha(serial) + "\"}\n      ]";
}

}  // namespace

// ---- successful updates ----

TEST(Update, DirectOverUsbFromAPackagePath) {
    TempDir work;
    Package package(work, "pkg.bird");
    ASSERT_TRUE(package.packed);
    Sim sim({"serial=40F5849A,usb,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r = run(sim, {"-U", "-d", "40F5849A", "-f", package.path, "-m", "0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* line :
         {"Updating from Birdfile: ", "Transferring loader block 1 of 1, 304 bytes",
          "Starting Load on Device", "Transferring firmware block 1 of 1, 3004 bytes",
          "Transferred 1 blocks, 3004 total bytes", "Update time: "})
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
    const std::string settings = run.settings("40F5849A");
    EXPECT_TRUE(contains(settings, "LATEST_TRANSFER=" + package.path + "\n")) << settings;
    EXPECT_TRUE(contains(settings, "LAST_TRANSFER_DATE=")) << settings;

    const std::string report = sim.report("40F5849A");
    EXPECT_TRUE(contains(report, flashedRegion(package, 0x40F5849A))) << report;
    // The loader went first, then the device restarted into it (under the
    // blank serial number, found again) and back into the firmware.
    EXPECT_TRUE(contains(report, "\"restarts\": {\"load\": 1, \"reboot\": 1}")) << report;
    EXPECT_TRUE(contains(report,
                         "\"loaderBlocks\": [\n        {\"address\": 536870912, \"flags\": "
                         "0, \"length\": 300"))
        << report;
}

TEST(Update, DirectOverTcpip) {
    TempDir work;
    Package package(work, "pkg.bird");
    ASSERT_TRUE(package.packed);
    testsupport::StandardPortsLock lock;
    Sim sim({"serial=7C900011,tcp,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    const auto start = std::chrono::steady_clock::now();
    RunResult r = run(sim, {"-U", "-d", "7C900011", "-f", package.path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The rebooting module closes its connection; nothing waits for a link
    // that only looks alive.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(contains(run.settings("7C900011"), "LATEST_TRANSFER=")) << r.out;
    const std::string report = sim.report("7C900011");
    EXPECT_TRUE(contains(report, flashedRegion(package, 0x7C900011))) << report;
    EXPECT_TRUE(contains(report, "\"restarts\": {\"load\": 1, \"reboot\": 1}")) << report;
}

TEST(Update, ThroughARouterFindsTheModuleAddress) {
    TempDir work;
    Package package(work, "pkg.bird");
    ASSERT_TRUE(package.packed);
    Sim sim({"serial=0000AAAA,usb,model=6,address=4",
             "serial=1111BBBB,behind=0000AAAA,address=6,restart-ms=100",
             "serial=2222CCCC,behind=0000AAAA,address=10,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r =
        run(sim, {"-U", "-d", "2222CCCC", "-r", "0000AAAA", "-f", package.path, "-m", "0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string report = sim.report("2222CCCC");
    EXPECT_TRUE(contains(report, flashedRegion(package, 0x2222CCCC))) << report;
    EXPECT_TRUE(contains(report, "\"restarts\": {\"load\": 1, \"reboot\": 1}")) << report;
}

TEST(Update, GetThenUpdateFromTheServer) {
    TempDir mirror, work;
    ASSERT_EQ(mkdir(mirror.file("40F5849A").c_str(), 0755), 0);
    Package package(work, "1234.bird");
    ASSERT_TRUE(package.packed);
    writeFile(mirror.file("40F5849A/1234.bird"), readFile(package.path));
    testsupport::UpdateServer server(mirror.path());
    ASSERT_TRUE(server.ok());
    Sim sim({"serial=40F5849A,usb,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r = run(sim, {"-G", "-U", "-d", "40F5849A", "-m", "0"}, server.url());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Updating firmware with build: 1234")) << r.out;
    const std::string settings = run.settings("40F5849A");
    EXPECT_TRUE(contains(settings, "LATEST_DOWNLOAD=1234.bird\n")) << settings;
    EXPECT_TRUE(contains(settings, "LATEST_TRANSFER=1234.bird\n")) << settings;
    EXPECT_TRUE(contains(sim.report("40F5849A"), flashedRegion(package, 0x40F5849A)));
}

TEST(Update, NewerServerBuildMissingLocallyFallsBackToTheLatestDownload) {
    TempDir mirror, work;
    ASSERT_EQ(mkdir(mirror.file("40F5849A").c_str(), 0755), 0);
    PackageOptions newerOptions;
    newerOptions.build = 1300;
    Package package(work, "1234.bird");
    Package newer(work, "1300.bird", newerOptions);
    ASSERT_TRUE(package.packed && newer.packed);
    writeFile(mirror.file("40F5849A/1234.bird"), readFile(package.path));
    testsupport::UpdateServer server(mirror.path());
    ASSERT_TRUE(server.ok());
    Sim sim({"serial=40F5849A,usb,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    ASSERT_EQ(run(sim, {"-G", "-d", "40F5849A"}, server.url()).status, 0);
    // The server now offers a build the store does not hold.
    writeFile(mirror.file("40F5849A/1300.bird"), readFile(newer.path));
    RunResult r = run(sim, {"-U", "-d", "40F5849A", "-m", "0"}, server.url());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const size_t notice = r.out.find(
        "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    const size_t latest = r.out.find("Updating with the Latest Download");
    EXPECT_NE(notice, std::string::npos) << r.out;
    EXPECT_NE(latest, std::string::npos) << r.out;
    EXPECT_LT(notice, latest);
    EXPECT_TRUE(contains(run.settings("40F5849A"), "LATEST_TRANSFER=1234.bird\n"));
}

TEST(Update, UeiBytesWithPooledPackets) {
    TempDir work;
    PackageOptions options;
    options.firmwareSize = 5000;
    Package package(work, "pkg.bird", options);
    ASSERT_TRUE(package.packed);
    Sim sim({"serial=40F5849A,usb,uei-data=1,pooled=1,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r = run(sim, {"-U", "-d", "40F5849A", "-f", package.path, "-m", "1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string report = sim.report("40F5849A");
    EXPECT_TRUE(contains(report, flashedRegion(package, 0x40F5849A))) << report;
    // Five device blocks (1024 bytes each), one UEI transfer each; the
    // loader still went in data packets.
    EXPECT_TRUE(contains(report, "\"data-uei\": ")) << report;
    EXPECT_TRUE(contains(report, "\"write\": 5")) << report;
    EXPECT_TRUE(contains(report, "\"data\": 12,")) << report;
}

// ---- refusals: nothing reaches the device ----

struct Refusal {
    const char* name;
    PackageOptions package;
    std::vector<std::string> extra;
    int status;
    std::vector<std::string> messages;
};

void PrintTo(const Refusal& c, std::ostream* os) {
    *os << c.name;
}

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, EndWithTheirMessage) {
    const Refusal& c = GetParam();
    TempDir work;
    Package package(work, "pkg.bird", c.package);
    ASSERT_TRUE(package.packed);
    Sim sim({"serial=40F5849A,usb,restart-ms=100"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    std::vector<std::string> args = {"-U", "-d", "40F5849A", "-f", package.path, "-m", "0"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunResult r = run(sim, args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& m : c.messages) EXPECT_TRUE(contains(r.err, m)) << m << "\n" << r.err;
    const std::string report = sim.report("40F5849A");
    EXPECT_EQ(contains(report, "\"flashed\": []"), c.status != 0) << report;
}

PackageOptions modelIO16() {
    PackageOptions o;
    o.model = "ZV-IO16";
    return o;
}

PackageOptions otherSerial() {
    PackageOptions o;
    o.serialBlock = false;
    o.serial = "0BADC0DE";
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Update, Refusals,
    ::testing::Values(
        Refusal{"ModelMismatch",
                modelIO16(),
                {},
                1,
                {"Connected device model and Bird file model do not match [ZV-Hub8] (0)",
                 "Birdfile failed validation"}},
        Refusal{"ModelOverride", modelIO16(), {"-OVERRIDE"}, 0, {}},
        Refusal{"SerialMismatch",
                otherSerial(),
                {},
                1,
                {"The BIRD file is for device [0BADC0DE], not [40F5849A]",
                 "Birdfile failed validation"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(Update, RefusesADamagedPackageBeforeConnecting) {
    TempDir work;
    writeFile(work.file("bad.bird"), std::string("bird\x01\x01", 6) + "not zlib at all");
    Sim sim({"serial=40F5849A,usb"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r = run(sim, {"-U", "-d", "40F5849A", "-f", work.file("bad.bird")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Failed to load bird file")) << r.err;
    EXPECT_TRUE(contains(sim.report("40F5849A"), "\"packets\": {}"));
}

// ---- a misbehaving module: every run ends, with the right status ----

struct Fault {
    const char* name;
    std::string keys;  // module keys added to the simulated module
    int status;
    std::string message;  // on standard error, or empty
    double withinSeconds;
};

void PrintTo(const Fault& c, std::ostream* os) {
    *os << c.name;
}

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, EndWithTheRightStatus) {
    const Fault& c = GetParam();
    TempDir work;
    PackageOptions options;
    options.firmwareSize = 1500;  // two device blocks of 1024 bytes
    Package package(work, "pkg.bird", options);
    ASSERT_TRUE(package.packed);
    Sim sim({"serial=40F5849A,usb,restart-ms=100," + c.keys});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    const auto start = std::chrono::steady_clock::now();
    RunResult r = run(sim, {"-U", "-d", "40F5849A", "-f", package.path, "-m", "0"});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_LT(seconds, c.withinSeconds) << r.out << r.err;
    if (!c.message.empty()) {
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    }
    const std::string report = sim.report("40F5849A");
    if (c.status == 0) {
        EXPECT_TRUE(contains(report, flashedRegion(package, 0x40F5849A))) << report;
        EXPECT_TRUE(contains(run.settings("40F5849A"), "LATEST_TRANSFER=")) << r.out;
    } else {
        EXPECT_FALSE(contains(run.settings("40F5849A"), "LATEST_TRANSFER")) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Update, Faults,
    ::testing::Values(
        // Recovered: the block is sent again.
        Fault{"DroppedDataReply", "drop-reply=data@20", 0, "", 10},
        Fault{"OneWrongCount", "wrong-count=@15", 0, "", 10},
        Fault{"LoaderWithoutEcho", "load-reply=0", 0, "", 10},
        Fault{"LoaderKeepsTheSerialNumber", "loader-serial=self", 0, "", 10},
        // Every attempt of the firmware block meets a bad sum: five
        // attempts, then the update fails.
        Fault{"BlockFailsFiveTimes", "corrupt-sum=%2", 1, "Failed to transfer the firmware", 15},
        // A device that announces blocks of 0 bytes or miscounts every
        // chunk is given up, not served forever.
        Fault{"BlockSizeZero", "block-size=0", 1, "Failed to transfer the firmware", 15},
        Fault{"EveryCountWrong", "wrong-count=%1", 1, "Failed to transfer the loader", 10},
        Fault{"RefusedPrepare", "refuse-prepare=@2", 1, "Failed to transfer the firmware", 10},
        Fault{"LinkDroppedMidTransfer", "drop-link=data@40", 1, "Failed to transfer the firmware",
              15},
        Fault{"StalledMidTransfer", "stall=data@40", 1, "Failed to transfer the firmware", 15},
        // The module stops answering at REBOOT and keeps its link: bounded.
        Fault{"NeverLeavesAfterReboot", "stall=reboot@1", 1,
              "The device did not restart after the update", 15}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST(Update, RetriesAreShownAndBoundedToFiveAttempts) {
    TempDir work;
    PackageOptions options;
    options.firmwareSize = 1500;
    Package package(work, "pkg.bird", options);
    ASSERT_TRUE(package.packed);
    Sim sim({"serial=40F5849A,usb,block-size=0"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r = run(sim, {"-U", "-d", "40F5849A", "-f", package.path, "-m", "0"});
    EXPECT_EQ(r.status, 1);
    for (const char* line : {"  Retry 1", "  Retry 4", "Transferred 0 blocks, 0 total bytes"})
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
    EXPECT_FALSE(contains(r.out, "  Retry 5")) << r.out;
}

TEST(Update, MissingModuleFailsToConnect) {
    TempDir work;
    Package package(work, "pkg.bird");
    ASSERT_TRUE(package.packed);
    testsupport::StandardPortsLock lock;  // the search goes on over TCP/IP
    Sim sim({"serial=40F5849A,usb"});
    ASSERT_TRUE(sim.started);
    UpdaterRun run;
    RunResult r = run(sim, {"-U", "-d", "0BADC0DE", "-f", package.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Failed to connect to module [0BADC0DE]")) << r.err;
}
