// Device discovery and identification through the real Updater binary
// against simulated modules: USB through the libusb stand-in, legacy
// Ethernet modules over TCP/IP, a module held by another program, and the
// modules behind a router on its I2C network.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery_lock.h"
#include "../fakes/fake_usb_protocol.h"
#include "Updater.h"
#include "process.h"
#include "recording_display.h"
#include "tempdir.h"

namespace {

using testsupport::Background;
using testsupport::readFile;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string kZvsim = BUILD_DIR "/sim/zvsim";
const std::string kStandIn = BUILD_DIR "/tests/fakes/libzv_libusb_fake.so";

// The simulator with its USB socket directory; its diagnostics (every frame
// with -v) go to a file the test can read.
struct Sim {
    explicit Sim(const std::vector<std::string>& modules, bool verbose = false) {
        std::string command = "exec " + kZvsim + " --tcp-bind 0.0.0.0 --usb-dir " + usb.path();
        if (verbose) command += " -v";
        for (const std::string& m : modules) command += " --module '" + m + "'";
        command += " 2>" + log.file("sim.err");
        process = std::make_unique<Background>(std::vector<std::string>{"/bin/sh", "-c", command});
        started = !process->waitForLine("started").empty();
    }
    std::string diagnostics() {
        process->stop();
        return readFile(log.file("sim.err"));
    }
    TempDir usb, log;
    std::unique_ptr<Background> process;
    bool started = false;
};

// Options that run a program with the libusb stand-in on the simulator's
// devices.
RunOptions withStandIn(const std::string& usbDir) {
    RunOptions options;
    const char* asan = getenv("ASAN_OPTIONS");
    options.env = {{"LD_PRELOAD", kStandIn},
                   {"ZV_FAKE_USB_DIR", usbDir},
                   {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
    return options;
}

RunResult updater(const Sim& sim, std::vector<std::string> args) {
    TempDir store;
    args.insert(args.begin(), {UPDATER_BIN, "-i", store.path()});
    return testsupport::run(args, withStandIn(sim.usb.path()));
}

// The device list row of one serial number, or empty.
std::string row(const std::string& out, const std::string& serial) {
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("    " + serial, 0) == 0) return line;
    return {};
}

// ---- the child side: Discover_Devices(0) with the stand-in preloaded ----

int discoverBothKinds() {
    testsupport::RecordingDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
    for (const DeviceInfo& d : updater.Discover_Devices(INVALID))
        std::printf("found %08X type %u error %d\n", d.spec.serial_num, d.spec.type,
                    static_cast<int>(d.error));
    return 0;
}

[[maybe_unused]] const int kChild = [] {
    if (!getenv("ZV_DISCOVER_CHILD")) return 0;
    const int status = discoverBothKinds();
    std::fflush(stdout);
    std::exit(status);
}();

// Holds the device's interface the way another program would: a session of
// the stand-in's protocol with the interface claimed.
class OtherProgram {
  public:
    explicit OtherProgram(const std::string& socketPath) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        fakeusb::MessageBuffer buffer;
        fakeusb::Message message;
        if (!fakeusb::readMessage(fd_, buffer, message, 2000) || message.type != fakeusb::kHello)
            return;
        fakeusb::sendAll(fd_, fakeusb::frame(fakeusb::kOpen), 1000);
        while (fakeusb::readMessage(fd_, buffer, message, 2000))
            if (message.type == fakeusb::kReady) break;
        holding_ = message.type == fakeusb::kReady &&
                   fakeusb::sendAll(fd_, fakeusb::frame(fakeusb::kClaim, {0}), 1000) == 6;
    }
    ~OtherProgram() {
        if (fd_ >= 0) close(fd_);
    }
    bool holding() const { return holding_; }

  private:
    int fd_ = -1;
    bool holding_ = false;
};

}  // namespace

TEST(Discover, UsbModulesWithVersionBuildAndName) {
    Sim sim({"serial=40F5849A,usb,version=2.12.5,build=4711,name=Bench A,hb-ms=0",
             "serial=0BADC0DE,usb,model=11,version=2.10.3,build=9,name=Hidden,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    RunResult r = updater(sim, {"-D"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Discovered Devices: (USB)"), std::string::npos) << r.out;
    struct Expected {
        const char* serial;
        const char* row;
    };
    // The older firmware has no name option: its name stays empty.
    for (const Expected& e : {
             Expected{"40F5849A",
                      "    40F5849A  02       02      ZV-Hub8        2.12.5 (      4711)"
                      "         Bench A"},
             Expected{"0BADC0DE",
                      "    0BADC0DE  02       02      ZV-Relay8      2.10.3 (         9)"
                      "         "},
         })
        EXPECT_EQ(row(r.out, e.serial), e.row) << r.out;
}

TEST(Discover, ModuleHeldByAnotherProgramIsListedInUse) {
    Sim sim({"serial=40F5849A,usb,busy=1,hb-ms=0", "serial=1234ABCD,usb,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    OtherProgram other(sim.usb.file("40F5849A.sock"));
    ASSERT_TRUE(other.holding());
    RunResult r = updater(sim, {"-D"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string held = row(r.out, "40F5849A");
    EXPECT_EQ(held.find("    40F5849A  [Error ("), 0u) << r.out;
    EXPECT_EQ(held.find("    40F5849A  [Error (0)"), std::string::npos) << r.out;
    EXPECT_NE(held.find("): Device in use. Close all other Veltrina associated applications.]"),
              std::string::npos)
        << r.out;
    EXPECT_NE(row(r.out, "1234ABCD").find("ZV-Hub8"), std::string::npos) << r.out;
}

TEST(Discover, TcpipModulesAnswerTheMulticastRequest) {
    testsupport::StandardPortsLock lock;
    Sim sim({"serial=7C900001,tcp,address=6,model=5,version=2.11.0,build=321,name=Eth,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    RunResult r = updater(sim, {"-D", "-t", "TCPIP"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Discovered Devices: (TCPIP)"), std::string::npos) << r.out;
    const std::string line = row(r.out, "7C900001");
    EXPECT_EQ(
        line.find("    7C900001  06       06      ZV-ETH1        2.11.0 (       321)        ["), 0u)
        << r.out;
    EXPECT_EQ(line.substr(line.size() - 5), "  Eth") << line;
}

TEST(Discover, LinkTypeZeroFindsUsbFirstThenTcpip) {
    testsupport::StandardPortsLock lock;
    Sim sim({"serial=7C900002,tcp,hb-ms=0", "serial=40F5849A,usb,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    RunOptions options = withStandIn(sim.usb.path());
    options.env.push_back({"ZV_DISCOVER_CHILD", "1"});
    RunResult r = testsupport::run({"/proc/self/exe"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    const size_t usb = r.out.find("found 40F5849A type 1 error 0\n");
    const size_t tcp = r.out.find("found 7C900002 type 2 error 0\n");
    ASSERT_NE(usb, std::string::npos) << r.out;
    ASSERT_NE(tcp, std::string::npos) << r.out;
    EXPECT_LT(usb, tcp);
}

TEST(Discover, RouterScanProbesEvenAddressesAndSwitchesRoutingOff) {
    Sim sim({"serial=0000AAAA,usb,model=6,address=4,hb-ms=0",
             "serial=1111BBBB,behind=0000AAAA,address=6,version=2.9.0,build=12,name=Old",
             "serial=2222CCCC,behind=0000AAAA,address=252,build=13"},
            true);
    ASSERT_TRUE(sim.started);
    RunResult r = updater(sim, {"-D", "-r", "0000AAAA"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(row(r.out, "1111BBBB"),
              "    1111BBBB  06       04      ZV-Hub8        2.9.0 (        12)         ")
        << r.out;
    EXPECT_EQ(row(r.out, "2222CCCC"),
              "    2222CCCC  FC       04      ZV-Hub8        2.12.5 (        13)         ")
        << r.out;

    // The router sees every frame: I2C probe writes carry the bus address
    // as their third data byte; routing is the system set 0x94.
    std::set<int> probed;
    std::vector<std::string> routing;
    std::istringstream log(sim.diagnostics());
    for (std::string line; std::getline(log, line);) {
        const size_t at = line.find(" -> 04 07 08 00 ");
        if (at != std::string::npos) probed.insert(std::stoi(line.substr(at + 16, 2), nullptr, 16));
        if (line.find(" -> 04 04 03 94 20 ") != std::string::npos)
            routing.push_back(line.substr(line.size() - 2));
    }
    std::set<int> expected;
    for (int a = 2; a <= 252; a += 2)
        if (a != 4) expected.insert(a);
    EXPECT_EQ(probed, expected);
    EXPECT_EQ(routing, (std::vector<std::string>{"01", "00"}));
}
