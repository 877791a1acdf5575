// The device API (Link, Module, entities) against the simulator over TCP and,
// in a child of this test with the libusb stand-in preloaded, over USB; the
// exact packets of UEI requests against a scripted device on a TCP socket.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "discovery_lock.h"
#include "Link.h"
#include "Module.h"
#include "aDebug.h"
#include "aDefs.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"
#include "process.h"
#include "tempdir.h"

using namespace Veltrina::Zentrovia;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using testsupport::Background;
using testsupport::TempDir;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

aEtherConfig direct() {
    aEtherConfig config{};
    config.enabled = 0;
    return config;
}

linkSpec tcpSpec(uint32_t serial, uint16_t port) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = serial;
    spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
    spec.t.ip.ip_port = port;
    return spec;
}

struct Sim {
    explicit Sim(std::vector<std::string> args) {
        args.insert(args.begin(), BUILD_DIR "/sim/zvsim");
        process = std::make_unique<Background>(args);
        started = !process->waitForLine("started").empty();
    }
    uint16_t tcpPort(const std::string& serial) {
        const std::string line = process->waitForLine("ready tcp " + serial, 1);
        return static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }
    std::unique_ptr<Background> process;
    bool started = false;
};

// A module of the simulator, connected over its TCP attachment without sharing.
struct Connected {
    Connected(Sim& sim, const std::string& serial, uint8_t address = 2)
        : module(address, static_cast<uint8_t>(0)) {
        module.setConfig(direct());
        result = module.connectFromSpec(
            tcpSpec(static_cast<uint32_t>(std::stoul(serial, nullptr, 16)), sim.tcpPort(serial)));
        system.init(&module, 0);
    }
    Module module;
    SystemClass system;
    aErr result;
};

size_t threadCount() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// ---- a scripted device: frames in, the handler's replies out ----

class ScriptedDevice {
  public:
    // Gets each frame (address, length, data) and returns the bytes to send back.
    using Handler = std::function<Bytes(const Bytes& frame)>;

    explicit ScriptedDevice(Handler handler = {}) : handler_(std::move(handler)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 2);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (pipe(wake_) == 0) thread_ = std::thread([this] { run(); });
    }
    ~ScriptedDevice() {
        (void)!write(wake_[1], "x", 1);
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, peer_, wake_[0], wake_[1]})
            if (fd >= 0) close(fd);
    }
    uint16_t port() const { return port_; }

    // The frames received so far, link-control frames (force route) left out.
    std::vector<Bytes> frames() const {
        std::lock_guard<std::mutex> hold(lock_);
        return frames_;
    }
    // Waits up to a second for at least n frames.
    std::vector<Bytes> awaitFrames(size_t n) const {
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (frames().size() < n && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return frames();
    }

  private:
    void run() {
        Bytes pending;
        for (;;) {
            pollfd p[2] = {{peer_ >= 0 ? peer_ : listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(p, 2, 10000) <= 0 || (p[1].revents & POLLIN)) return;
            if (peer_ < 0) {
                peer_ = accept(listener_, nullptr, nullptr);
                continue;
            }
            uint8_t chunk[256];
            const ssize_t n = read(peer_, chunk, sizeof chunk);
            if (n <= 0) return;
            pending.insert(pending.end(), chunk, chunk + n);
            while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
                const Bytes frame(pending.begin(), pending.begin() + 2 + pending[1]);
                pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
                if (frame[0] == 0xAF) continue;
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    frames_.push_back(frame);
                }
                const Bytes reply = handler_ ? handler_(frame) : Bytes{};
                if (!reply.empty()) (void)!send(peer_, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
    }

    Handler handler_;
    int listener_ = -1;
    int peer_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    mutable std::mutex lock_;
    std::vector<Bytes> frames_;
    std::thread thread_;
};

// A Module without address learning, connected to a scripted device.
struct Scripted {
    explicit Scripted(ScriptedDevice::Handler handler = {})
        : device(std::move(handler)), module(2, false, 0) {
        module.setConfig(direct());
        result = module.connectFromSpec(tcpSpec(0x5C417ED, device.port()));
    }
    ScriptedDevice device;
    Module module;
    aErr result;
};

Bytes frameOf(uint8_t address, const Bytes& data) {
    Bytes f{address, static_cast<uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

// ---- the child side: the same API over USB with the stand-in preloaded ----

int runUsbScenario(const std::string& scenario) {
    const uint32_t serial = static_cast<uint32_t>(strtoul(getenv("ZV_USB_SERIAL"), nullptr, 16));
    Module module(0, static_cast<uint8_t>(0));
    aEtherConfig config = direct();
    config.fallback = 0;  // a refusal shows as itself
    module.setConfig(config);
    const aErr connected =
        scenario == "by-model" ? module.discoverAndConnect(USB, 0) : module.connect(USB, serial);
    std::printf("connect %s\n", aError_GetErrorText(connected));
    if (connected != aErrNone) return 0;
    SystemClass system;
    system.init(&module, 0);
    uint32_t reportedSerial = 0;
    uint8_t model = 0;
    system.getSerialNumber(&reportedSerial);
    system.getModel(&model);
    std::printf("module %u serial %08X model %u\n", module.getModuleAddress(), reportedSerial,
                model);
    if (scenario == "hold") {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(20));  // until the test stops it
    }
    return 0;
}

[[maybe_unused]] const int kChild = [] {
    const char* scenario = getenv("ZV_DEVICE_SCENARIO");
    if (!scenario) return 0;
    const int status = runUsbScenario(scenario);
    std::fflush(stdout);
    std::exit(status);
}();

testsupport::RunOptions usbChild(const std::string& scenario, const std::string& dir,
                                 const std::string& serial) {
    testsupport::RunOptions options;
    options.timeoutSeconds = 60;
    options.env = {{"ZV_DEVICE_SCENARIO", scenario},
                   {"ZV_USB_SERIAL", serial},
                   {"ZV_FAKE_USB_DIR", dir},
                   {"LD_PRELOAD", BUILD_DIR "/tests/fakes/libzv_libusb_fake.so"}};
    const char* asan = getenv("ASAN_OPTIONS");
    options.env.push_back(
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
    return options;
}

}  // namespace

// ---- against the simulator ----

TEST(DeviceApi, ConnectsLearnsTheAddressAndReadsTheIdentity) {
    Sim sim({"--module",
             "serial=40F5849A,model=7,address=6,version=0x12345678,build=77,name=Alpha,tcp,"
             "multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    EXPECT_EQ(c.module.getModuleAddress(), 6);  // learned, replacing the constructed 2
    EXPECT_TRUE(c.module.isConnected());
    EXPECT_EQ(c.module.getStatus(), 2u);

    uint32_t serial = 0, version = 0, build = 0, systemBuild = 0;
    uint8_t model = 0, address = 0;
    EXPECT_EQ(c.system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(c.system.getModel(&model), aErrNone);
    EXPECT_EQ(c.system.getVersion(&version), aErrNone);
    EXPECT_EQ(c.module.getBuild(&build), aErrNone);
    EXPECT_EQ(c.system.getBuild(&systemBuild), aErrNone);
    EXPECT_EQ(c.system.getModule(&address), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(model, aMODEL_IO16);
    EXPECT_EQ(version, 0x12345678u);
    EXPECT_EQ(build, 77u);
    EXPECT_EQ(systemBuild, 77u);
    EXPECT_EQ(address, 6);
    uint8_t name[32];
    size_t length = 0;
    EXPECT_EQ(c.system.getName(name, sizeof name, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "Alpha");

    // A second connect leaves the link as it is.
    Link* link = c.module.getLink();
    EXPECT_EQ(link->connect(), aErrConnection);
    EXPECT_EQ(c.module.connectFromSpec(tcpSpec(1, 1)), aErrBusy);
    EXPECT_EQ(link->setConfig(direct()), aErrMode);
    EXPECT_EQ(link->setLinkSpecifier(tcpSpec(1, 1)), aErrBusy);
    EXPECT_EQ(c.system.getModel(&model), aErrNone);

    EXPECT_EQ(c.module.disconnect(), aErrNone);
    EXPECT_FALSE(c.module.isConnected());
    EXPECT_EQ(c.module.getStatus(), 8u);
    EXPECT_EQ(c.system.getModel(&model), aErrConnection);
    EXPECT_EQ(c.module.reconnect(), aErrNone);
    EXPECT_EQ(c.system.getModel(&model), aErrNone);
}

TEST(DeviceApi, TypedValuesTravelAtTheirWidths) {
    Sim sim({"--module", "serial=40F5849A,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    SystemClass& s = c.system;

    const struct {
        const char* name;
        std::function<aErr()> set;
        std::function<aErr(uint32_t*)> get;
        uint32_t expected;
    } cases[] = {
        {"u8", [&] { return s.setLED(0xA7); },
         [&](uint32_t* v) {
             uint8_t b = 0;
             const aErr e = s.getLED(&b);
             *v = b;
             return e;
         },
         0xA7},
        {"u32", [&] { return s.setPowerLimitMax(0x01234567); },
         [&](uint32_t* v) { return s.getPowerLimitMax(v); }, 0x01234567},
        {"i32", [] { return aErrNone; },
         [&](uint32_t* v) {
             int32_t i = 0;
             const aErr e = s.getTemperature(&i);
             *v = static_cast<uint32_t>(i);
             return e;
         },
         31000000},
        {"u16 get of a u8 option", [&] { return s.setHBInterval(0x42); },
         [&](uint32_t* v) {
             uint16_t w = 0;
             const aErr e = s.getUEI16(3, &w);
             *v = w;
             return e;
         },
         0x42},
        {"u8 get with a parameter byte", [] { return aErrNone; },
         [&](uint32_t* v) {
             uint8_t b = 0;
             const aErr e = s.getUEI8(4, 0x55, &b);
             *v = b;
             return e;
         },
         0xA7},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        ASSERT_EQ(t.set(), aErrNone);
        uint32_t value = 0;
        EXPECT_EQ(t.get(&value), aErrNone);
        EXPECT_EQ(value, t.expected);
    }
    EXPECT_EQ(s.save(), aErrNone);
    EXPECT_EQ(s.logEvents(), aErrNone);
    // The module takes option 3 as one byte and says so about two.
    EXPECT_EQ(s.setUEI16(3, 0x0102), aErrSize);
}

TEST(DeviceApi, ErrorAnswersCarryTheDevicesCode) {
    Sim sim({"--module", "serial=40F5849A,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    SystemClass secondSystem;
    secondSystem.init(&c.module, 1);
    EntityClass unknownClass;
    unknownClass.init(&c.module, 50, 0);

    uint32_t value = 0xDEADBEEF;
    uint8_t byte = 0;
    const struct {
        const char* name;
        std::function<aErr()> call;
        aErr expected;
    } cases[] = {
        {"get of an option the module lacks", [&] { return c.system.getUEI32(5, &value); },
         aErrInvalidOption},
        {"set of a read-only option", [&] { return c.system.setUEI8(1, 4); }, aErrInvalidOption},
        {"second system entity", [&] { return secondSystem.getModel(&byte); }, aErrIndexRange},
        {"unknown entity class", [&] { return unknownClass.getUEI8(1, &byte); }, aErrInvalidEntity},
        {"store command for it", [&] { return unknownClass.saveEntityToStore(); },
         aErrInvalidEntity},
        {"hasUEI of a read-only set", [&] { return c.module.hasUEI(3, 7, 0, 0x80); },
         aErrInvalidOption},
    };
    for (const auto& t : cases) EXPECT_EQ(t.call(), t.expected) << t.name;
    EXPECT_EQ(value, 0xDEADBEEFu);  // untouched by the error answer
}

TEST(DeviceApi, ByteArraysBothWays) {
    Sim sim({"--module", "serial=40F5849A,name=Start,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    SystemClass& s = c.system;

    std::vector<uint32_t> words(12);  // 48 bytes: two full packets
    std::iota(words.begin(), words.end(), 0xA0B0C0D0u);
    ASSERT_EQ(s.setInputPowerBehaviorConfig(words.data(), words.size()), aErrNone);
    std::vector<uint32_t> back(16);
    size_t count = 0;
    ASSERT_EQ(s.getInputPowerBehaviorConfig(back.data(), back.size(), &count), aErrNone);
    back.resize(count);
    EXPECT_EQ(back, words);
    EXPECT_EQ(s.getInputPowerBehaviorConfig(back.data(), 3, &count), aErrMemory);

    // 49 bytes reach the module whole; it refuses a count that is no
    // multiple of its 4-byte words.
    const Bytes odd = pattern(49);
    EXPECT_EQ(s.setUEIBytes(31, odd.data(), odd.size()), aErrSize);

    const struct {
        const char* name;
        Bytes bytes;
        aErr set;
    } names[] = {{"32 bytes", pattern(32, 'A'), aErrNone},
                 {"empty", Bytes{}, aErrNone},
                 {"33 bytes", pattern(33), aErrSize}};
    for (const auto& n : names) {
        SCOPED_TRACE(n.name);
        EXPECT_EQ(s.setName(n.bytes.data(), n.bytes.size()), n.set);
        if (n.set != aErrNone) continue;
        Bytes name(40, 0xEE);
        size_t length = 99;
        ASSERT_EQ(s.getName(name.data(), name.size(), &length), aErrNone);
        name.resize(length);
        EXPECT_EQ(name, n.bytes);
    }
    ASSERT_EQ(s.setName(pattern(32).data(), 32), aErrNone);
    Bytes small(10);
    EXPECT_EQ(s.getName(small.data(), small.size(), &count), aErrMemory);
}

TEST(DeviceApi, ModuleInformationAndEcho) {
    Sim sim({"--module", "serial=40F5849A,stores=3,slots=5,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    Module& m = c.module;

    const struct {
        uint8_t command, option, flags;
        aErr expected;
    } uei[] = {{3, 8, 0x40, aErrNone},           {3, 8, 0x80, aErrInvalidOption},
               {50, 1, 0x40, aErrInvalidEntity}, {3, 8, 0xC0, aErrParam},
               {3, 8, 0x41, aErrParam},          {4, 0, 0, aErrNone}};
    for (const auto& u : uei)
        EXPECT_EQ(m.hasUEI(u.command, u.option, 0, u.flags), u.expected)
            << int(u.command) << "/" << int(u.option) << "/" << int(u.flags);

    uint8_t n = 0xFF;
    EXPECT_EQ(m.classQuantity(4, &n), aErrNone);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(m.classQuantity(50, &n), aErrNone);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(m.subClassQuantity(4, 1, &n), aErrNone);
    EXPECT_EQ(n, 5);
    n = 0xFF;
    EXPECT_EQ(m.entityGroup(3, 0, &n), aErrNone);
    EXPECT_EQ(n, 0);

    const Bytes echo = pattern(27);
    EXPECT_EQ(m.debug(echo.data(), echo.size()), aErrNone);
    EXPECT_EQ(m.debug(nullptr, 0), aErrNone);
    EXPECT_EQ(m.debug(pattern(28).data(), 28), aErrParam);
}

TEST(DeviceApi, StoreSlots) {
    Sim sim({"--module", "serial=40F5849A,slot-capacity=100,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    Link* link = c.module.getLink();
    const uint8_t m = c.module.getModuleAddress();

    size_t size = 0;
    EXPECT_EQ(link->storeSlotCapacity(m, 1, 2, &size), aErrNone);
    EXPECT_EQ(size, 100u);
    const Bytes data = pattern(60);  // three writes: 25, 25 and 10 bytes
    ASSERT_EQ(link->loadStoreSlot(m, 1, 2, data.data(), data.size()), aErrNone);
    EXPECT_EQ(link->storeSlotSize(m, 1, 2, &size), aErrNone);
    EXPECT_EQ(size, 60u);

    Bytes whole(100);
    size_t unloaded = 0;
    ASSERT_EQ(link->unloadStoreSlot(m, 1, 2, whole.data(), whole.size(), &unloaded), aErrNone);
    whole.resize(unloaded);
    EXPECT_EQ(whole, data);

    Bytes part(40);
    EXPECT_EQ(link->unloadStoreSlot(m, 1, 2, part.data(), part.size(), &unloaded), aErrOverrun);
    EXPECT_EQ(unloaded, 40u);
    EXPECT_EQ(part, Bytes(data.begin(), data.begin() + 40));

    const Bytes tooMuch = pattern(120);
    EXPECT_EQ(link->loadStoreSlot(m, 1, 3, tooMuch.data(), tooMuch.size()), aErrOverrun);
    EXPECT_EQ(link->storeSlotCapacity(m, 9, 0, &size), aErrIndexRange);
    EXPECT_EQ(link->storeSlotSize(m, 1, 2, nullptr), aErrParam);
    EXPECT_EQ(link->unloadStoreSlot(m, 1, 2, part.data(), part.size(), nullptr), aErrParam);
    // The slot written last is still whole after the failed write elsewhere.
    EXPECT_EQ(link->storeSlotSize(m, 1, 2, &size), aErrNone);
    EXPECT_EQ(size, 60u);
}

TEST(DeviceApi, FactoryData) {
    Sim sim({"--module", "serial=40F5849A,factory=5:0A0B0C,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    Link* link = c.module.getLink();
    const uint8_t m = c.module.getModuleAddress();

    Bytes buffer(64);
    size_t length = 0;
    ASSERT_EQ(link->getFactoryData(m, 5, buffer.data(), buffer.size(), &length), aErrNone);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), (Bytes{0x0A, 0x0B, 0x0C}));

    const Bytes data = pattern(52);  // two full answers and an empty one
    ASSERT_EQ(link->setFactoryData(m, 3, data.data(), data.size()), aErrNone);
    ASSERT_EQ(link->getFactoryData(m, 3, buffer.data(), 53, &length), aErrNone);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), data);
    EXPECT_EQ(link->getFactoryData(m, 3, buffer.data(), 52, &length), aErrOverrun);
    EXPECT_EQ(link->getFactoryData(m, 3, nullptr, 52, &length), aErrParam);
}

TEST(DeviceApi, I2CAndSharingThroughARouter) {
    Sim sim({"--module", "serial=40F5849A,tcp,multicast=0,hb-ms=0", "--module",
             "serial=0BADF00D,address=8,behind=40F5849A"});
    ASSERT_TRUE(sim.started);
    Connected router(sim, "40F5849A");
    ASSERT_EQ(router.result, aErrNone);

    I2CClass i2c;
    i2c.init(&router.module, 0);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    EXPECT_EQ(i2c.setSpeed(3), aErrNone);
    EXPECT_EQ(i2c.getSpeed(), 3);
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    const uint8_t store[] = {0x10, 0xA5, 0x5A};
    EXPECT_EQ(i2c.write(8, sizeof store, store), aErrNone);
    const uint8_t pointer[] = {0x10};
    EXPECT_EQ(i2c.write(8, sizeof pointer, pointer), aErrNone);
    uint8_t read[23] = {};
    EXPECT_EQ(i2c.read(8, 2, read), aErrNone);
    EXPECT_EQ(Bytes(read, read + 2), (Bytes{0xA5, 0x5A}));
    EXPECT_EQ(i2c.read(8, 24, read), aErrSize);
    EXPECT_EQ(i2c.write(8, 24, read), aErrSize);
    EXPECT_EQ(i2c.read(10, 1, read), aErrNotFound);  // nobody at 10

    // The module behind the router, reached over the router's link.
    Module behind(8, static_cast<uint8_t>(0));
    ASSERT_EQ(behind.connectThroughLinkModule(&router.module), aErrNone);
    EXPECT_EQ(behind.getModuleAddress(), 8);
    SystemClass system;
    system.init(&behind, 0);
    uint32_t serial = 0;
    uint8_t routerAddress = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0BADF00Du);
    EXPECT_EQ(system.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 2);
    EXPECT_EQ(behind.connectThroughLinkModule(&router.module), aErrNone);  // changes nothing
    EXPECT_EQ(behind.disconnect(), aErrNone);
    EXPECT_TRUE(router.module.isConnected());
    EXPECT_EQ(router.system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);

    Module unconnected(4, static_cast<uint8_t>(0));
    EXPECT_EQ(behind.connectThroughLinkModule(&unconnected), aErrInitialization);
}

TEST(DeviceApi, EntityStoreCommands) {
    Sim sim({"--module", "serial=40F5849A,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    SystemClass& s = c.system;
    uint8_t led = 0;
    ASSERT_EQ(s.setLED(5), aErrNone);
    ASSERT_EQ(s.saveEntityToStore(), aErrNone);
    ASSERT_EQ(s.setLED(9), aErrNone);
    ASSERT_EQ(s.loadEntityFromStore(), aErrNone);
    EXPECT_EQ(s.getLED(&led), aErrNone);
    EXPECT_EQ(led, 5);
    ASSERT_EQ(s.resetEntityToFactoryDefaults(), aErrNone);
    EXPECT_EQ(s.getLED(&led), aErrNone);
    EXPECT_EQ(led, 0);
}

TEST(DeviceApi, PacketLogRecordsFramesBothWays) {
    Sim sim({"--module", "serial=40F5849A,model=7,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected c(sim, "40F5849A");
    ASSERT_EQ(c.result, aErrNone);
    TempDir dir;
    const std::string file = dir.file("packets.log");
    ASSERT_EQ(c.module.enablePacketLog(file.c_str()), aErrNone);
    uint8_t model = 0;
    ASSERT_EQ(c.system.getModel(&model), aErrNone);
    const std::string expected =
        "6 < START\r\n5 > 0x2 0x3 0x3 0x48 0x20 \r\n6 < 0x2 0x4 0x3 0x8 0x0 0x7 \r\n";
    std::string log;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while ((log = testsupport::readFile(file)).size() < expected.size() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(log, expected);
    EXPECT_EQ(c.module.disablePacketLog(), aErrNone);
}

TEST(DeviceApi, SharingWithoutAServerFailsAndLeavesNothingRunning) {
    Sim sim({"--module", "serial=40F5849A,tcp,multicast=0,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Connected direct(sim, "40F5849A");
    ASSERT_EQ(direct.result, aErrNone);
    direct.module.disconnect();  // threads made once per process exist from here on
    const size_t threadsBefore = threadCount();

    Link shared(tcpSpec(0x40F5849A, sim.tcpPort("40F5849A")), "shared");
    aEtherConfig config{};
    ASSERT_TRUE(shared.getConfig(&config) == aErrNone && config.enabled);
    EXPECT_EQ(shared.connect(), aErrConnection);
    EXPECT_FALSE(shared.isConnected());
    EXPECT_EQ(shared.getStatus(), 8u);
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(direct.module.reconnect(), aErrNone);
}

TEST(DeviceApi, RefusalsWithoutAConnection) {
    Link empty("empty");
    Link unconnected(tcpSpec(1, 1), "unconnected");
    Module module(2, static_cast<uint8_t>(0));
    EntityClass unbound;
    uint8_t byte = 0;
    uint8_t buffer[32] = {};
    size_t size = 0;
    linkSpec spec{};
    uei message{};
    message.module = 2;
    const uint8_t match[] = {3};
    const struct {
        const char* name;
        std::function<aErr()> call;
        aErr expected;
    } cases[] = {
        {"connect without a specification", [&] { return empty.connect(); }, aErrConfiguration},
        {"specification", [&] { return empty.getLinkSpecifier(&spec); }, aErrNotFound},
        {"config without output", [&] { return empty.getConfig(nullptr); }, aErrParam},
        {"module address", [&] { return unconnected.getModuleAddress(&byte); }, aErrNotReady},
        {"send UEI", [&] { return unconnected.sendUEI(message); }, aErrConnection},
        {"receive UEI", [&] { return unconnected.receiveUEI(2, 3, 8, 0, &message); },
         aErrConnection},
        {"send packet", [&] { return unconnected.sendPacket(2, 3, 0, nullptr); }, aErrConnection},
        {"receive packet",
         [&] {
             uint8_t length = 1;
             return unconnected.receivePacket(2, match, &length, buffer);
         },
         aErrConnection},
        {"slot capacity", [&] { return unconnected.storeSlotCapacity(2, 0, 0, &size); },
         aErrConnection},
        {"slot load", [&] { return unconnected.loadStoreSlot(2, 0, 0, buffer, 4); },
         aErrConnection},
        {"factory data", [&] { return unconnected.getFactoryData(2, 0, buffer, 32, &size); },
         aErrConnection},
        {"packet log", [&] { return unconnected.enablePacketLog("/dev/null"); }, aErrConfiguration},
        {"packet log off", [&] { return unconnected.disablePacketLog(); }, aErrConfiguration},
        {"share an unconnected link", [&] { return empty.connectThroughLinkModule(&unconnected); },
         aErrInitialization},
        {"serial number 0", [&] { return module.connect(USB, 0); }, aErrParam},
        {"module information", [&] { return module.classQuantity(4, &byte); }, aErrConnection},
        {"echo", [&] { return module.debug(buffer, 2); }, aErrConnection},
        {"entity without module", [&] { return unbound.getUEI8(1, &byte); }, aErrResource},
    };
    for (const auto& t : cases) EXPECT_EQ(t.call(), t.expected) << t.name;
    EXPECT_EQ(unconnected.getStatus(), 8u);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(std::string(empty.getName()), "empty");
}

TEST(DeviceApi, DiscoversAndFallsBack) {
    testsupport::StandardPortsLock lock;

    // Nothing attached by USB: network discovery is tried, and finds nothing.
    // (Before the simulator starts: the legacy discovery port it holds lies
    // in the probe's range and would cost the probe a second.)
    Link absent("absent");
    absent.setConfig(direct());
    aZentroviaDebuggingLevel = aDEBUG_LINK;
    aZentroviaDebuggingEnable = true;
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    const aErr result = absent.discoverAndConnect(USB, 0x0DDBA11, 0);
    const long elapsed = msSince(start);
    aZentroviaDebuggingEnable = false;
    const std::string debug = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, aErrNotFound);
    EXPECT_NE(debug.find("Executing Fallback - old type: 1 - new type: 4"), std::string::npos);
    EXPECT_LT(elapsed, 1500);
    EXPECT_FALSE(absent.isConnected());

    Sim sim({"--tcp-bind", "0.0.0.0", "--module", "serial=5EED00A1,model=21,tcp,hb-ms=0"});
    ASSERT_TRUE(sim.started);
    Module bySerial(2, static_cast<uint8_t>(0));
    bySerial.setConfig(direct());
    ASSERT_EQ(bySerial.connect(TCPIP, 0x5EED00A1), aErrNone);
    SystemClass system;
    system.init(&bySerial, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x5EED00A1u);
    linkSpec spec{};
    EXPECT_EQ(bySerial.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, TCPIP);
    bySerial.disconnect();

    Link byModel("by model");
    byModel.setConfig(direct());
    ASSERT_EQ(byModel.discoverAndConnect(TCPIP, 0, aMODEL_LOAD1), aErrNone);
    EXPECT_EQ(byModel.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.model, aMODEL_LOAD1);
}

// ---- over USB ----

TEST(DeviceApi, UsbModuleConnectsBySerialAndByModel) {
    TempDir dir;
    Sim sim({"--usb-dir", dir.path(), "--module", "serial=1234ABCD,model=19,address=4,usb"});
    ASSERT_TRUE(sim.started);
    for (const char* scenario : {"by-serial", "by-model"}) {
        const auto result =
            testsupport::run({"/proc/self/exe"}, usbChild(scenario, dir.path(), "1234ABCD"));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "connect aErrNone\nmodule 4 serial 1234ABCD model 19\n") << scenario;
    }
}

TEST(DeviceApi, UsbDeviceBusyInAnotherOpenerIsRefused) {
    TempDir dir;
    Sim sim({"--usb-dir", dir.path(), "--module", "serial=1234ABCD,busy=1,usb"});
    ASSERT_TRUE(sim.started);
    const testsupport::RunOptions holdOptions = usbChild("hold", dir.path(), "1234ABCD");
    Background holder({"/proc/self/exe"}, holdOptions);
    ASSERT_NE(holder.waitForLine("module ", 30), "");
    const auto result =
        testsupport::run({"/proc/self/exe"}, usbChild("by-serial", dir.path(), "1234ABCD"));
    holder.stop();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "connect aErrConnection\n");
}

// ---- the exact packets, against a scripted device ----

TEST(DeviceWire, UeiRequestsHaveTheirDefinedForms) {
    Scripted s;
    ASSERT_EQ(s.result, aErrNone);
    Link* link = s.module.getLink();
    auto record = [](int32_t type, uint32_t value) {
        uei u{};
        u.module = 2;
        u.command = 3;
        u.option = 0x84;
        u.specifier = 0x21;
        u.type = type;
        u.intVal = value;
        if (type == ueiTYPE_BYTE) u.byteVal = static_cast<uint8_t>(value);
        if (type == ueiTYPE_SHORT) u.shortVal = static_cast<uint16_t>(value);
        return u;
    };
    const struct {
        const char* name;
        uei message;
        int subindex;  // -1: none
        aErr result;
        Bytes data;
    } cases[] = {
        {"void", record(ueiTYPE_VOID, 0), -1, aErrNone, {3, 0x84, 0x21}},
        {"byte", record(ueiTYPE_BYTE, 0x7F), -1, aErrNone, {3, 0x84, 0x21, 0x7F}},
        {"short", record(ueiTYPE_SHORT, 0x1234), -1, aErrNone, {3, 0x84, 0x21, 0x12, 0x34}},
        {"int",
         record(ueiTYPE_INT, 0x12345678),
         -1,
         aErrNone,
         {3, 0x84, 0x21, 0x12, 0x34, 0x56, 0x78}},
        {"subindexed void", record(ueiTYPE_VOID, 0), 9, aErrNone, {3, 0x84, 0x21, 9}},
        {"subindexed byte", record(ueiTYPE_BYTE, 0x7F), 9, aErrNone, {3, 0x84, 0x21, 9, 0x7F}},
        {"subindexed short",
         record(ueiTYPE_SHORT, 0x1234),
         9,
         aErrNone,
         {3, 0x84, 0x21, 9, 0x12, 0x34}},
        {"subindexed int",
         record(ueiTYPE_INT, 0x12345678),
         9,
         aErrNone,
         {3, 0x84, 0x21, 9, 0x12, 0x34, 0x56, 0x78}},
        {"type 3", record(3, 0), -1, aErrParam, {}},
        {"type 6", record(6, 0), -1, aErrParam, {}},
        {"subindexed bytes", record(ueiTYPE_BYTES, 0), 9, aErrParam, {}},
        {"module 0",
         [&] {
             uei u = record(ueiTYPE_VOID, 0);
             u.module = 0;
             return u;
         }(),
         -1,
         aErrPacket,
         {}},
        {"odd module",
         [&] {
             uei u = record(ueiTYPE_VOID, 0);
             u.module = 3;
             return u;
         }(),
         -1,
         aErrPacket,
         {}},
    };
    std::vector<Bytes> expected;
    for (const auto& c : cases) {
        const aErr result = c.subindex < 0
                                ? link->sendUEI(c.message)
                                : link->sendUEI(c.message, static_cast<uint8_t>(c.subindex));
        EXPECT_EQ(result, c.result) << c.name;
        if (!c.data.empty()) expected.push_back(frameOf(2, c.data));
    }
    EXPECT_EQ(link->sendPacket(2, 3, 28, pattern(28).data()), aErrParam);
    EXPECT_EQ(s.device.awaitFrames(expected.size()), expected);
}

TEST(DeviceWire, ByteArraysAreCutIntoSequencedPackets) {
    Scripted s;
    ASSERT_EQ(s.result, aErrNone);
    Link* link = s.module.getLink();
    const Bytes b48 = pattern(48), b49 = pattern(49, 100);
    auto send = [&](const Bytes& bytes) {
        uei u{};
        u.module = 2;
        u.command = 3;
        u.option = 0x9F;
        u.specifier = 0x20;
        u.type = ueiTYPE_BYTES;
        u.bytes.buffer = const_cast<uint8_t*>(bytes.data());
        u.bytes.bufferLength = bytes.size();
        return link->sendUEI(u);
    };
    auto packet = [](const Bytes& from, size_t at, size_t n, uint8_t sequence) {
        Bytes data{3, 0x9F, 0x20};
        data.insert(data.end(), from.begin() + at, from.begin() + at + n);
        data.push_back(sequence);
        return frameOf(2, data);
    };
    ASSERT_EQ(send(b48), aErrNone);
    ASSERT_EQ(send(b49), aErrNone);
    ASSERT_EQ(send(Bytes{}), aErrNone);
    const std::vector<Bytes> expected = {
        packet(b48, 0, 24, 0x80), packet(b48, 24, 24, 0x01),    // 48 bytes
        packet(b49, 0, 24, 0x80), packet(b49, 24, 24, 0x81),    // 49 bytes
        packet(b49, 48, 1, 0x02), packet(Bytes{}, 0, 0, 0x00),  // and none
    };
    const std::vector<Bytes> frames = s.device.awaitFrames(expected.size());
    EXPECT_EQ(frames, expected);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0].size(), 30u);  // 28 data bytes
    EXPECT_EQ(frames[4].size(), 7u);   // 5 data bytes
}

TEST(DeviceWire, AnswersToLargeByteArraysGetTheLongerWait) {
    // Answers the last packet of a set of option 31 after 1.5 s.
    Scripted s([](const Bytes& frame) {
        if (frame.size() < 6 || frame[3] != 0x9F || (frame.back() & 0x80)) return Bytes{};
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return frameOf(2, {3, 0xDF, 0});
    });
    ASSERT_EQ(s.result, aErrNone);
    EntityClass system;
    system.init(&s.module, 3, 0);
    const Bytes large = pattern(1001);
    const auto start = Clock::now();
    EXPECT_EQ(system.setUEIBytes(31, large.data(), large.size()), aErrNone);
    EXPECT_GE(msSince(start), 1400);

    uei small{};
    small.type = ueiTYPE_BYTES;
    small.bytes.bufferLength = 1000;
    const auto again = Clock::now();
    EXPECT_EQ(s.module.getLink()->receiveUEI(2, 3, 0xDF, 0, &small), aErrTimeout);
    EXPECT_GE(msSince(again), 950);
    EXPECT_LT(msSince(again), 1400);
}

TEST(DeviceWire, AnswersAreMatchedAndChecked) {
    Scripted s([](const Bytes& frame) -> Bytes {
        const Bytes data(frame.begin() + 2, frame.end());
        if (data == Bytes{3, 0x44, 0x21, 0x55}) {    // get of option 4, index 1, parameter 0x55
            Bytes other = frameOf(2, {3, 4, 2, 1});  // another index first: not taken
            Bytes mine = frameOf(2, {3, 4, 1, 9});
            other.insert(other.end(), mine.begin(), mine.end());
            return other;
        }
        if (data == Bytes{3, 0x85, 0x21, 0x12, 0x34}) return frameOf(2, {3, 0xC5, 1, 0x12, 0x34});
        if (data == Bytes{3, 0x46, 0x21}) return frameOf(2, {3, 6, 0x81});     // error without code
        if (data == Bytes{23, 1, 2, 3}) return frameOf(2, {23, 1, 2, 9});      // a wrong echo
        if (data == Bytes{23, 4}) return frameOf(2, {23});                     // a short echo
        if (data == Bytes{3, 0x47, 0x21}) return frameOf(2, {3, 7, 1, 0x80});  // empty, "more"
        if (data == Bytes{73, 4, 4}) return frameOf(2, {73, 4, 5, 3});         // another class
        if (data == Bytes{73, 0xFF}) return frameOf(2, {73, 0xFF, 0, 1, 2});   // a short build
        return {};
    });
    ASSERT_EQ(s.result, aErrNone);
    EntityClass entity;
    entity.init(&s.module, 3, 1);
    uint8_t value = 0;
    EXPECT_EQ(entity.getUEI8(4, 0x55, &value), aErrNone);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(entity.setUEI16(5, 0x1234), aErrNone);
    EXPECT_EQ(entity.getUEI8(6, &value), aErrUnknown);
    uint8_t bytes[10];
    size_t received = 0;
    EXPECT_EQ(entity.getUEIBytes(7, bytes, sizeof bytes, &received), aErrPacket);
    const uint8_t echo[] = {1, 2, 3};
    EXPECT_EQ(s.module.debug(echo, sizeof echo), aErrIO);
    const uint8_t four[] = {4};
    EXPECT_EQ(s.module.debug(four, sizeof four), aErrIO);
    uint8_t quantity = 0xFF;
    EXPECT_EQ(s.module.classQuantity(4, &quantity), aErrUnknown);
    EXPECT_EQ(quantity, 0);
    uint32_t build = 0;
    EXPECT_EQ(s.module.getBuild(&build), aErrSize);

    size_t count = 8;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 2u);
    count = 13;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrMemory);
}
