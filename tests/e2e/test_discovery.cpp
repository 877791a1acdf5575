// Discovery against real processes and sockets: legacy Ethernet modules of
// the simulator answering the multicast request, USB devices through the
// libusb stand-in (the walk runs in a child of this test with the stand-in
// preloaded), link-sharing servers played by this test on the loopback
// probe ports and by a beacon, and the multicast endpoint and beacon
// interface guard themselves.
#include <arpa/inet.h>
#include <czmq.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery_lock.h"
#include "../fakes/fake_usb_device.h"
#include "aDefs.h"
#include "aLinkSpec.h"
#include "aMulticast.h"
#include "discover.h"
#include "process.h"
#include "tempdir.h"
#include "zBeaconInterface.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using testsupport::Background;
using testsupport::TempDir;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string hex(const uint8_t* bytes, size_t n) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::string wire(const linkSpec& spec) {
    uint8_t bytes[kLinkSpecSize];
    aLinkSpec_Encode(&spec, bytes, sizeof bytes);
    return hex(bytes, sizeof bytes);
}

// The 128 bytes of a record written out by hand, as hexadecimal text.
std::string expectedWire(uint32_t type, uint32_t serial, uint32_t module, uint32_t router,
                         uint32_t routerSerial, uint32_t model, const Bytes& transport) {
    Bytes b;
    for (uint32_t v : {type, serial, module, router, routerSerial, model})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    b.insert(b.end(), transport.begin(), transport.end());
    b.resize(kLinkSpecSize, 0);
    return hex(b.data(), b.size());
}

Bytes ipTransport(uint32_t networkOrderAddress, uint32_t port) {
    const auto* a = reinterpret_cast<const uint8_t*>(&networkOrderAddress);
    return {a[0], a[1], a[2], a[3], static_cast<uint8_t>(port), static_cast<uint8_t>(port >> 8),
            0,    0};
}

bool collectAll(const linkSpec* spec, bool* found, void* ref) {
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *found = true;
    return true;
}

std::vector<linkSpec> withSerial(const std::vector<linkSpec>& specs, uint32_t serial) {
    std::vector<linkSpec> out;
    for (const linkSpec& s : specs)
        if (s.serial_num == serial) out.push_back(s);
    return out;
}

bool isHostAddress(uint32_t networkOrderAddress) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == networkOrderAddress)
            found = true;
    freeifaddrs(list);
    return found;
}

uint16_t freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

struct Sim {
    explicit Sim(std::vector<std::string> args) {
        args.insert(args.begin(), BUILD_DIR "/sim/zvsim");
        process = std::make_unique<Background>(args);
        started = !process->waitForLine("started").empty();
    }
    // The port after the last colon of the "ready KIND SERIAL ..." line.
    uint16_t port(const std::string& kind, const std::string& serial) {
        const std::string line = process->waitForLine("ready " + kind + " " + serial, 1);
        return static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }
    std::unique_ptr<Background> process;
    bool started = false;
};

// ---- the child side: USB walks with the libusb stand-in preloaded ----

bool stopAtOnce(const linkSpec*, bool*, void* ref) {
    ++*static_cast<int*>(ref);
    return false;
}

int runUsbScenario() {
    std::vector<linkSpec> specs;
    const uint8_t count = aDiscovery_EnumerateUSB(collectAll, &specs);
    std::printf("count %u\n", count);
    for (const linkSpec& s : specs) std::printf("spec %s\n", wire(s).c_str());
    int calls = 0;
    const uint8_t stopped = aDiscovery_EnumerateModules(USB, stopAtOnce, &calls, 0);
    std::printf("stopped %u calls %d\n", stopped, calls);
    const uint32_t wanted = static_cast<uint32_t>(strtoul(getenv("ZV_FIND_SERIAL"), nullptr, 16));
    linkSpec* found = aDiscovery_FindModule(USB, wanted, 0);
    std::printf("find %s\n", found ? wire(*found).c_str() : "none");
    aLinkSpec_Destroy(&found);
    linkSpec* absent = aDiscovery_FindModule(USB, 0x7E57AB5E, 0);
    std::printf("absent %s\n", absent ? "found" : "none");
    aLinkSpec_Destroy(&absent);
    return 0;
}

[[maybe_unused]] const int kChild = [] {
    if (!getenv("ZV_DISCOVERY_CHILD")) return 0;
    const int status = runUsbScenario();
    std::fflush(stdout);
    std::exit(status);
}();

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}

// ---- a link-sharing server as discovery sees it, played by this test ----

// Holds the first free probe port on loopback and answers probes there
// with its record.
class FakeLocalServer {
  public:
    explicit FakeLocalServer(const linkSpec& spec) {
        aLinkSpec_Encode(&spec, record_, sizeof record_);
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        const uint32_t group = htonl(aDISCOVERY_PROBE_GROUP);
        for (uint16_t k = 0; k < aDISCOVERY_PROBE_OFFSETS && !requests_; ++k) {
            requests_ = aMulticast_Create(loopback, group, aDISCOVERY_PROBE_PORT + k, false);
            if (requests_)
                replies_ =
                    aMulticast_Create(loopback, group, aDISCOVERY_PROBE_REPLY_PORT + k, true);
        }
        if (requests_ && replies_ && pipe(wake_) == 0) thread_ = std::thread([this] { serve(); });
    }
    ~FakeLocalServer() {
        if (thread_.joinable()) {
            (void)!write(wake_[1], "x", 1);
            thread_.join();
            close(wake_[0]);
            close(wake_[1]);
        }
        aMulticast_Destroy(&requests_);
        aMulticast_Destroy(&replies_);
    }
    bool serving() const { return thread_.joinable(); }

  private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{requests_->socket, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(p, 2, 5000) <= 0 || (p[1].revents & POLLIN)) return;
            uint8_t probe[16];
            const int n = aMulticast_Receive(requests_, probe, sizeof probe);
            if (n > 0 && aLinkSpec_IsProbeRequest(probe, static_cast<size_t>(n)))
                aMulticast_Send(replies_, record_, sizeof record_);
        }
    }

    uint8_t record_[kLinkSpecSize];
    aMulticastRef requests_ = nullptr;
    aMulticastRef replies_ = nullptr;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

linkSpec networkSpec(uint32_t serial, uint32_t address, uint32_t port) {
    linkSpec s{};
    s.type = AETHER_USB;
    s.serial_num = serial;
    s.module = 2;
    s.model = aMODEL_HUB8;
    s.t.ip.ip_address = address;
    s.t.ip.ip_port = port;
    return s;
}

}  // namespace

// ---- legacy Ethernet ----

TEST(Discovery, LegacyEthernetReportsEveryModuleThatAnswers) {
    const uint16_t replyPort = freeUdpPort();
    Sim sim({"--multicast-port", "0", "--multicast-reply-port", std::to_string(replyPort),
             "--module", "serial=40F5849A,model=7,address=6,tcp,hb-ms=0", "--module",
             "serial=12345678,model=27,tcp,hb-ms=0", "--module",
             "serial=0BADF00D,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    const uint16_t requestPort = sim.port("multicast", "40F5849A");

    // Every reply is offered; only the IO16 is marked found.
    struct Seen {
        std::vector<linkSpec> specs;
    } seen;
    auto markIO16 = [](const linkSpec* spec, bool* found, void* ref) {
        static_cast<Seen*>(ref)->specs.push_back(*spec);
        *found = spec->model == aMODEL_IO16;
        return true;
    };
    const auto start = Clock::now();
    const uint8_t count =
        aDiscovery_EnumerateLegacyEthernet(markIO16, &seen, 0, requestPort, replyPort);
    const long elapsed = msSince(start);
    EXPECT_EQ(count, 1);
    EXPECT_GE(elapsed, static_cast<long>(aDISCOVERY_LEGACY_WAIT_MS));
    EXPECT_LT(elapsed, static_cast<long>(aDISCOVERY_LEGACY_WAIT_MS) + 1500);

    ASSERT_EQ(seen.specs.size(), 2u);
    EXPECT_TRUE(withSerial(seen.specs, 0x0BADF00D).empty());
    const struct {
        uint32_t serial;
        uint32_t module;
        uint32_t model;
    } modules[] = {{0x40F5849A, 6, aMODEL_IO16}, {0x12345678, 2, aMODEL_CORE1}};
    for (const auto& m : modules) {
        char serialText[9];
        std::snprintf(serialText, sizeof serialText, "%08X", m.serial);
        const std::vector<linkSpec> mine = withSerial(seen.specs, m.serial);
        ASSERT_EQ(mine.size(), 1u) << serialText;
        EXPECT_TRUE(isHostAddress(mine[0].t.ip.ip_address));
        EXPECT_EQ(wire(mine[0]),
                  expectedWire(TCPIP, m.serial, m.module, m.module, m.serial, m.model,
                               ipTransport(mine[0].t.ip.ip_address, sim.port("tcp", serialText))));
    }

    // A callback that stops at once ends the walk at the first reply.
    int calls = 0;
    const auto again = Clock::now();
    EXPECT_EQ(aDiscovery_EnumerateLegacyEthernet(stopAtOnce, &calls, 0, requestPort, replyPort), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_LT(msSince(again), 1000);
}

TEST(Discovery, FindsModulesBySerialOnTheStandardPorts) {
    testsupport::StandardPortsLock lock;
    Sim sim({"--module", "serial=5EED0001,model=11,address=4,tcp,hb-ms=0"});
    ASSERT_TRUE(sim.started);

    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x5EED0001, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(wire(*spec),
              expectedWire(TCPIP, 0x5EED0001, 4, 4, 0x5EED0001, aMODEL_RELAY8,
                           ipTransport(spec->t.ip.ip_address, sim.port("tcp", "5EED0001"))));
    aLinkSpec_Destroy(&spec);

    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first->serial_num, 0u);
    aLinkSpec_Destroy(&first);

    const auto start = Clock::now();
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x5EED0002, 0), nullptr);
    EXPECT_LT(msSince(start), static_cast<long>(aDISCOVERY_LEGACY_WAIT_MS) + 1500);
}

TEST(Discovery, TypesWithoutDiscoveryFindNothing) {
    int calls = 0;
    for (linkType type : {SERIAL, INVALID, static_cast<linkType>(8)})
        EXPECT_EQ(aDiscovery_EnumerateModules(type, stopAtOnce, &calls, 0), 0) << type;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, 0), 0);
    EXPECT_EQ(calls, 0);
}

// ---- USB ----

TEST(Discovery, UsbReportsFamilyDevicesWithEightDigitSerials) {
    TempDir dir;
    Sim sim({"--usb-dir", dir.path(), "--module", "serial=40F5849A,model=7,usb,hb-ms=0", "--module",
             "serial=0000BEEF,model=27,usb,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    auto device = [&](const char* file, uint16_t vendor, uint16_t product, const char* serial) {
        fakeusb::FakeUsbDevice::Config config;
        config.hello.vendor = vendor;
        config.hello.product = product;
        config.hello.serial = serial;
        return std::make_unique<fakeusb::FakeUsbDevice>(dir.file(file), config);
    };
    const auto shortSerial = device("a.sock", aZENTROVIA_USB_VENDOR_ID, 7, "1234567");
    const auto longSerial = device("b.sock", aZENTROVIA_USB_VENDOR_ID, 7, "123456789");
    const auto noSerial = device("c.sock", aZENTROVIA_USB_VENDOR_ID, 7, "");
    const auto bit15 = device("d.sock", aZENTROVIA_USB_VENDOR_ID, 0x8007, "00000077");
    const auto foreign = device("e.sock", 0x1FC9, 7, "00000078");

    testsupport::RunOptions options;
    options.timeoutSeconds = 60;
    options.env = {{"ZV_DISCOVERY_CHILD", "1"},
                   {"ZV_FIND_SERIAL", "0000BEEF"},
                   {"ZV_FAKE_USB_DIR", dir.path()},
                   {"LD_PRELOAD", BUILD_DIR "/tests/fakes/libzv_libusb_fake.so"}};
    const char* asan = getenv("ASAN_OPTIONS");
    options.env.push_back(
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
    const auto result = testsupport::run({"/proc/self/exe"}, options);
    ASSERT_EQ(result.status, 0) << result.err;

    const std::string io16 = expectedWire(USB, 0x40F5849A, 0, 0, 0, 7, {0x9A, 0x84, 0xF5, 0x40});
    const std::string core = expectedWire(USB, 0x0000BEEF, 0, 0, 0, 27, {0xEF, 0xBE, 0, 0});
    std::vector<std::string> specs = linesStartingWith(result.out, "spec ");
    std::vector<std::string> expected = {core, io16};
    std::sort(specs.begin(), specs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(specs, expected);
    EXPECT_EQ(linesStartingWith(result.out, "count "), std::vector<std::string>{"2"});
    EXPECT_EQ(linesStartingWith(result.out, "stopped "), std::vector<std::string>{"0 calls 1"});
    EXPECT_EQ(linesStartingWith(result.out, "find "), std::vector<std::string>{core});
    EXPECT_EQ(linesStartingWith(result.out, "absent "), std::vector<std::string>{"none"});
}

// ---- network discovery ----

TEST(Discovery, LocalProbeReportsEveryServerOnLoopbackOnce) {
    testsupport::StandardPortsLock lock;
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    FakeLocalServer first(networkSpec(0xA1, loopback, 41001));
    FakeLocalServer second(networkSpec(0xA2, loopback, 41002));
    FakeLocalServer elsewhere(networkSpec(0xA3, inet_addr("192.0.2.99"), 41003));
    ASSERT_TRUE(first.serving() && second.serving() && elsewhere.serving());

    std::vector<linkSpec> specs;
    EXPECT_GE(aDiscovery_Enumerate_aEtherModules(collectAll, &specs, loopback), 2);
    EXPECT_TRUE(withSerial(specs, 0xA3).empty());
    for (uint32_t serial : {0xA1u, 0xA2u}) {
        const std::vector<linkSpec> mine = withSerial(specs, serial);
        ASSERT_EQ(mine.size(), 1u) << serial;
        EXPECT_EQ(wire(mine[0]), wire(networkSpec(serial, loopback, 41000 + serial - 0xA0)));
    }

    linkSpec* found = aDiscovery_FindModule(AETHER, 0xA2, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->t.ip.ip_port, 41002u);
    aLinkSpec_Destroy(&found);
}

// Beacons travel through ZeroMQ actors, whose hand-overs ThreadSanitizer cannot
// see inside the uninstrumented libzmq; this group stays out of its runs.
TEST(DiscoveryBeacon, RunReportsAServerHeardManyTimesOnce) {
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    if (aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES) == 0)
        GTEST_SKIP() << "no network interface to send beacons on";
    char text[16];
    ASSERT_GT(aDiscovery_ConvertIPv4Interface(interfaces[0], text, sizeof text), 0u);

    // A server's beacon, published every 20 ms on the same interface.
    const linkSpec server = networkSpec(0xB1, interfaces[0], 42001);
    uint8_t record[kLinkSpecSize];
    aLinkSpec_Encode(&server, record, sizeof record);
    ASSERT_TRUE(zBeaconInterface_setAndLock(text));
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    zBeaconInterface_unlock();
    ASSERT_NE(beacon, nullptr);
    zsock_set_rcvtimeo(beacon, 2000);
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char* hostname = zstr_recv(beacon);
    const bool canBroadcast = hostname && *hostname;
    zstr_free(&hostname);
    if (canBroadcast) zsock_send(beacon, "sbi", "PUBLISH", record, sizeof record, 20);

    const std::string before = zBeaconInterface_get();
    std::vector<linkSpec> specs;
    const auto start = Clock::now();
    aDiscovery_Enumerate_aEtherModules(collectAll, &specs, interfaces[0]);
    const long elapsed = msSince(start);
    zstr_sendx(beacon, "SILENCE", nullptr);
    zactor_destroy(&beacon);
    if (!canBroadcast) GTEST_SKIP() << "the interface cannot broadcast";

    EXPECT_EQ(withSerial(specs, 0xB1).size(), 1u);
    EXPECT_LT(elapsed, aDISCOVERY_BEACON_ATTEMPTS * aDISCOVERY_BEACON_WAIT_MS + 1000);
    EXPECT_EQ(zBeaconInterface_get(), before);
}

// ---- the endpoint and the guard ----

TEST(Discovery, MulticastEndpointHoldsItsPortAndChecksDirections) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const uint32_t group = htonl(aDISCOVERY_PROBE_GROUP);
    const uint16_t port = freeUdpPort();
    aMulticastRef receiver = aMulticast_Create(0, group, port, false);  // 0 means loopback
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(aMulticast_Create(loopback, group, port, false), nullptr);  // held
    aMulticastRef sender = aMulticast_Create(loopback, group, port, true);
    ASSERT_NE(sender, nullptr);

    const uint8_t hello[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(aMulticast_Send(sender, hello, sizeof hello), 5);
    uint8_t buffer[16];
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), 5);
    EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes(hello, hello + 5));

    EXPECT_EQ(aMulticast_Send(receiver, hello, sizeof hello), -3);
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), -3);
    EXPECT_EQ(aMulticast_Send(nullptr, hello, sizeof hello), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), -2);
    const auto start = Clock::now();
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1);
    EXPECT_GE(msSince(start), aMULTICAST_RECEIVE_TIMEOUT_MS - 50);

    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
    EXPECT_EQ(receiver, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&receiver), -2);
    EXPECT_EQ(aMulticast_Destroy(&sender), 0);
    aMulticastRef again = aMulticast_Create(loopback, group, port, false);  // free again
    EXPECT_NE(again, nullptr);
    aMulticast_Destroy(&again);
}

TEST(Discovery, BeaconInterfaceGuardValidatesSavesAndRestores) {
    for (const char* bad : {"eth0", "256.1.1.1", "1.2.3", "**"})
        EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));

    ASSERT_TRUE(zBeaconInterface_setAndLock("127.0.0.1"));
    EXPECT_EQ(zBeaconInterface_get(), "127.0.0.1");
    zBeaconInterface_unlock();

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("*"));
    EXPECT_EQ(zBeaconInterface_get(), "*");
    EXPECT_EQ(zBeaconInterface_getBackup(), "127.0.0.1");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(zBeaconInterface_getAndLock(), "127.0.0.1");
    zBeaconInterface_unlock();

    // The lock is free again: another thread can take it within the test.
    std::thread other([] {
        EXPECT_TRUE(zBeaconInterface_setAndLock(""));
        zBeaconInterface_unlock();
    });
    other.join();
    EXPECT_EQ(zBeaconInterface_get(), "");
}

// ---- the example program ----

TEST(Discovery, ZvlistListsTheModulesOnUsbAndEthernet) {
    testsupport::StandardPortsLock lock;
    TempDir dir;
    Sim sim({"--tcp-bind", "0.0.0.0", "--usb-dir", dir.path(), "--module",
             "serial=7E570001,model=7,build=42,name=Bench,tcp,hb-ms=0", "--module",
             "serial=7E570002,model=27,build=9,name=Desk,usb,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    const std::string zvlist = BUILD_DIR "/tools/zvlist/zvlist";
    testsupport::RunOptions options;
    options.timeoutSeconds = 60;
    options.env = {{"ZV_FAKE_USB_DIR", dir.path()},
                   {"LD_PRELOAD", BUILD_DIR "/tests/fakes/libzv_libusb_fake.so"}};
    const char* asan = getenv("ASAN_OPTIONS");
    options.env.push_back(
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
    const auto result = testsupport::run({zvlist}, options);
    ASSERT_FALSE(result.timedOut);
    // Other modules on the host may be listed too; ours are listed once each.
    for (const char* line : {"USB    7E570002  ZV-Core1     2.12.5     build 9      Desk\n",
                             "TCPIP  7E570001  ZV-IO16      2.12.5     build 42     Bench\n"}) {
        const size_t at = result.out.find(line);
        EXPECT_NE(at, std::string::npos) << line << result.out;
        EXPECT_EQ(result.out.find(line, at + 1), std::string::npos) << line;
    }

    const auto refused = testsupport::run({zvlist, "--bogus"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("unknown option '--bogus'"), std::string::npos);
}
