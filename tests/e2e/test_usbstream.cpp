// The USB stream against simulated devices. The library code runs in a child
// (this test binary started again) with the libusb stand-in preloaded, so
// the shipped libusb code paths run unchanged; the devices run here, on
// threads, and record what the host did.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../fakes/fake_usb_device.h"
#include "aDefs.h"
#include "aError.h"
#include "aStream.h"
#include "process.h"
#include "tempdir.h"
#include "unix_streamusb.h"
#include "zvusb_driver.h"

using fakeusb::Bytes;
using fakeusb::FakeUsbDevice;
using fakeusb::Hello;

namespace {

// ---- the child side: one scenario, its results printed one per line ----

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

std::string name(aErr err) {
    return aError_GetErrorText(err);
}

// One byte, or the error; a few tries while nothing has come.
aErr readByte(aStreamRef stream, uint8_t* byte) {
    aErr err = aErrNotReady;
    for (int i = 0; i < 20 && err == aErrNotReady; ++i) err = aStream_Read(stream, byte, 1);
    return err;
}

std::string readText(aStreamRef stream, size_t n) {
    std::string text;
    uint8_t byte;
    while (text.size() < n && readByte(stream, &byte) == aErrNone) text.push_back(byte);
    return text;
}

Bytes pattern(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

void readOnce(aStreamRef stream) {
    uint8_t byte;
    say("read " + name(aStream_Read(stream, &byte, 1)));
}

void write(aStreamRef stream, const std::string& text) {
    say("write " + name(aStream_Write(stream, text.data(), text.size())));
}

int runScenario(const std::string& scenario) {
    const uint32_t serial = static_cast<uint32_t>(strtoul(getenv("ZV_USB_SERIAL"), nullptr, 16));
    aStreamRef stream = nullptr;
    const aErr created = aStream_CreateUSB(serial, &stream);
    say("create " + name(created));
    if (created != aErrNone) return 0;

    if (scenario == "echo") {
        write(stream, "hello");
        say("read " + readText(stream, 5));
    } else if (scenario == "write") {
        const Bytes data = pattern(static_cast<size_t>(atoi(getenv("ZV_USB_LENGTH"))));
        say("write " + name(aStream_Write(stream, data.data(), data.size())));
    } else if (scenario == "stall") {
        write(stream, "abc");
        readOnce(stream);  // the stalled IN endpoint
        readOnce(stream);  // an empty transfer
        say("read " + readText(stream, 2));
    } else if (scenario == "errors") {
        for (int i = 0; i < 3; ++i) readOnce(stream);
        write(stream, "x");
        for (int i = 0; i < 6; ++i) readOnce(stream);
        write(stream, "y");
    } else if (scenario == "duplex") {
        // As in a link: one thread writes, the other reads, at the same time.
        const Bytes sent = pattern(2000);
        aErr writeResult = aErrNone;
        std::thread writer([&] {
            for (size_t at = 0; at < sent.size() && writeResult == aErrNone; at += 40) {
                writeResult = aStream_Write(stream, sent.data() + at, 40);
            }
        });
        Bytes received;
        uint8_t byte;
        while (received.size() < sent.size() && readByte(stream, &byte) == aErrNone) {
            received.push_back(byte);
        }
        writer.join();
        say("write " + name(writeResult));
        say(received == sent ? "echoed all" : "echoed " + std::to_string(received.size()));
    } else if (scenario == "node") {
        write(stream, "ping");
        say("read " + readText(stream, 4));
    }
    say("destroy " + name(aStream_Destroy(&stream)));

    if (scenario == "echo") {
        // A released context is made again by the next use.
        Zentrovia_libusb_exit();
        say("again " + name(aStream_CreateUSB(serial, &stream)));
        if (stream) aStream_Destroy(&stream);
        Zentrovia_libusb_exit();
    }
    return 0;
}

int runScenarioIfChild() {
    const char* scenario = getenv("ZV_USB_SCENARIO");
    if (!scenario) return 0;
    const int status = runScenario(scenario);
    std::fflush(stdout);
    std::exit(status);
}

[[maybe_unused]] const int kChild = runScenarioIfChild();

// ---- the test side ----

constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x02;

Hello familyDevice(const std::string& serial) {
    Hello h;
    h.vendor = aZENTROVIA_USB_VENDOR_ID;
    h.product = aMODEL_IO16;
    h.serial = serial;
    h.inEndpoint = kIn;
    h.outEndpoint = kOut;
    return h;
}

// The devices of one test, each on its own socket in one directory.
class Bus {
  public:
    FakeUsbDevice& add(const std::string& name, FakeUsbDevice::Config config) {
        devices_.push_back(std::make_unique<FakeUsbDevice>(dir_.file(name + ".sock"), config));
        EXPECT_TRUE(devices_.back()->listening());
        return *devices_.back();
    }

    // Runs the scenario in a child with the stand-in preloaded; returns its
    // output.
    std::string run(const std::string& scenario, uint32_t serial,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", serial);
        testsupport::RunOptions options;
        options.timeoutSeconds = 60;
        options.env = std::move(env);
        options.env.push_back({"ZV_USB_SCENARIO", scenario});
        options.env.push_back({"ZV_USB_SERIAL", text});
        options.env.push_back({"ZV_FAKE_USB_DIR", dir_.path()});
        options.env.push_back({"LD_PRELOAD", BUILD_DIR "/tests/fakes/libzv_libusb_fake.so"});
        // The sanitizer runtime would insist on being loaded before the stand-in.
        const char* asan = getenv("ASAN_OPTIONS");
        options.env.push_back(
            {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
        const auto result = testsupport::run({"/proc/self/exe"}, options);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_FALSE(result.timedOut);
        return result.out;
    }

  private:
    testsupport::TempDir dir_;
    std::vector<std::unique_ptr<FakeUsbDevice>> devices_;
};

bool contains(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

}  // namespace

TEST(UsbStream, OpensTheFamilyDeviceWithTheSerialText) {
    Bus bus;
    Hello foreignVendor = familyDevice("12345678");
    foreignVendor.vendor = 0x1FC9;
    Hello outsideProtocol = familyDevice("12345678");
    outsideProtocol.product = 0x8007;
    auto& a = bus.add("a-foreign-vendor", {foreignVendor});
    auto& b = bus.add("b-product-bit-15", {outsideProtocol});
    auto& c = bus.add("c-other-serial", {familyDevice("0000ABCD")});
    auto& d = bus.add("d-target", {familyDevice("12345678"), {}, true});

    EXPECT_EQ(bus.run("echo", 0x12345678),
              "create aErrNone\nwrite aErrNone\nread hello\ndestroy aErrNone\nagain aErrNone\n");
    for (auto* skipped : {&a, &b}) {
        EXPECT_FALSE(contains(skipped->events(), "open")) << "not a family device";
    }
    EXPECT_TRUE(contains(c.events(), "open")) << "opened to read its serial text";
    EXPECT_FALSE(contains(c.events(), "claim 0"));
    ASSERT_TRUE(d.waitFor("close", 2));
    std::vector<std::string> sessions = d.events();
    std::erase(sessions, "probe");  // enumeration
    EXPECT_EQ(sessions, (std::vector<std::string>{"open", "claim 0", "out 5", "release 0", "close",
                                                  "open", "claim 0", "release 0", "close"}));
}

TEST(UsbStream, ReaderAndWriterThreadsShareTheDevice) {
    Bus bus;
    bus.add("device", {familyDevice("00D0D0D0"), {}, true});
    EXPECT_EQ(bus.run("duplex", 0xD0D0D0),
              "create aErrNone\nwrite aErrNone\nechoed all\ndestroy aErrNone\n");
}

TEST(UsbStream, OpeningRefusals) {
    Hello noInterface = familyDevice("0000BEEF");
    noInterface.interfaceSubClass = 0x00;
    Hello noOut = familyDevice("0000BEEF");
    noOut.outEndpoint = 0;
    Hello busy = familyDevice("0000BEEF");
    busy.claimError = LIBUSB_ERROR_BUSY;
    Hello denied = familyDevice("0000BEEF");
    denied.claimError = LIBUSB_ERROR_ACCESS;
    Hello unopenable = familyDevice("0000BEEF");
    unopenable.openError = LIBUSB_ERROR_ACCESS;
    Hello lowerCase = familyDevice("0000beef");

    const struct {
        const char* what;
        Hello device;
        uint32_t serial;
        const char* result;
        bool opened;  // the host opened the device at some point
    } cases[] = {
        {"serial number 0", familyDevice("00000000"), 0, "aErrParam", false},
        {"no match", familyDevice("0000BEEF"), 0xBEEF0000, "aErrNotFound", true},
        {"serial text differs in case", lowerCase, 0xBEEF, "aErrNotFound", true},
        {"no vendor interface", noInterface, 0xBEEF, "aErrConfiguration", true},
        {"no OUT endpoint", noOut, 0xBEEF, "aErrConfiguration", true},
        {"interface busy", busy, 0xBEEF, "aErrBusy", true},
        {"interface denied", denied, 0xBEEF, "aErrPermission", true},
        {"device cannot be opened", unopenable, 0xBEEF, "aErrNotFound", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bus bus;
        auto& device = bus.add("device", {c.device});
        EXPECT_EQ(bus.run("create", c.serial), std::string("create ") + c.result + "\n");
        if (c.opened) {
            EXPECT_TRUE(device.waitFor("close")) << "a refused device is closed again";
        } else {
            EXPECT_FALSE(contains(device.events(), "open"));
        }
        if (c.serial == 0) {
            EXPECT_TRUE(device.events().empty()) << "nothing is touched for serial number 0";
        }
    }
}

TEST(UsbStream, WritesGoOutInPacketSizedTransfers) {
    const struct {
        uint16_t packetSize;
        size_t length;
        std::vector<size_t> transfers;
    } cases[] = {
        {512, 1024, {511, 511, 2}},  // a full 512-byte transfer is cut by one byte
        {64, 130, {64, 64, 2}},
        {512, 1, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packetSize);
        Bus bus;
        Hello h = familyDevice("00C0FFEE");
        h.outPacketSize = c.packetSize;
        auto& device = bus.add("device", {h});
        EXPECT_EQ(bus.run("write", 0xC0FFEE, {{"ZV_USB_LENGTH", std::to_string(c.length)}}),
                  "create aErrNone\nwrite aErrNone\ndestroy aErrNone\n");
        // The device thread may still be taking the last transfer in.
        EXPECT_TRUE(device.waitFor("close"));
        std::vector<size_t> sizes;
        Bytes all;
        for (const auto& t : device.outTransfers()) {
            sizes.push_back(t.size());
            all.insert(all.end(), t.begin(), t.end());
        }
        EXPECT_EQ(sizes, c.transfers);
        EXPECT_EQ(all, pattern(c.length));
    }
}

TEST(UsbStream, StalledEndpointsAreClearedAndEmptyTransfersGiveNoByte) {
    Bus bus;
    FakeUsbDevice::Config config{familyDevice("00005A11")};
    config.onOpen = {FakeUsbDevice::halt(kOut), FakeUsbDevice::halt(kIn), FakeUsbDevice::inData({}),
                     FakeUsbDevice::inData({'o', 'k'})};
    auto& device = bus.add("device", config);
    EXPECT_EQ(bus.run("stall", 0x5A11),
              "create aErrNone\nwrite aErrNone\nread aErrNotReady\n"
              "read aErrNotReady\nread ok\ndestroy aErrNone\n");
    EXPECT_TRUE(device.waitFor("close"));
    const auto events = device.events();
    EXPECT_TRUE(contains(events, "clear-halt 0x02"));
    EXPECT_TRUE(contains(events, "clear-halt 0x81"));
    EXPECT_EQ(device.outTransfers(), (std::vector<Bytes>{{'a', 'b', 'c'}}))
        << "the stalled transfer is sent again, once";
}

TEST(UsbStream, FifthConsecutiveIoErrorFailsTheDevice) {
    Bus bus;
    FakeUsbDevice::Config config{familyDevice("0000E220")};
    config.onOpen = {FakeUsbDevice::fail(kIn, LIBUSB_ERROR_IO, 3)};
    // The write in between resets the count; then five failures in a row.
    config.onOut = [](FakeUsbDevice& d, const Bytes&) {
        d.send(fakeusb::kFail, {kIn, static_cast<uint8_t>(LIBUSB_ERROR_IO), 5});
    };
    bus.add("device", config);
    EXPECT_EQ(bus.run("errors", 0xE220),
              "create aErrNone\n"
              "read aErrNotReady\nread aErrNotReady\nread aErrNotReady\n"
              "write aErrNone\n"
              "read aErrNotReady\nread aErrNotReady\nread aErrNotReady\nread aErrNotReady\n"
              "read aErrIO\n"
              "read aErrIO\n"
              "write aErrIO\n"
              "destroy aErrNone\n");
}

TEST(UsbStream, KernelNodeIsUsedWhenPresent) {
    if (geteuid() != 0 || access("/dev", W_OK) != 0) {
        GTEST_SKIP() << "kernel-node mode needs root to link a pseudo-terminal at "
                        "/dev/zentrovia.<serial>";
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slavePath = ptsname(master);
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    const uint32_t serial = 0x5E000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF);
    char node[64];
    std::snprintf(node, sizeof node, ZVUSB_NODE_FORMAT, serial);
    ASSERT_EQ(symlink(slavePath.c_str(), node), 0) << node;
    struct Cleanup {
        const char* node;
        int fds[2];
        ~Cleanup() {
            unlink(node);
            for (int fd : fds) close(fd);
        }
    } cleanup{node, {master, slave}};

    // The module's side: answers "ping" with "pong".
    std::string heard;
    std::thread module([&] {
        char buffer[8];
        while (heard.size() < 4) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) return;
            heard.append(buffer, static_cast<size_t>(n));
        }
        (void)!::write(master, "pong", 4);
    });

    Bus bus;
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    auto& usbTwin = bus.add("same-serial", {familyDevice(text)});
    const std::string out = bus.run("node", serial);
    module.join();
    EXPECT_EQ(out, "create aErrNone\nwrite aErrNone\nread pong\ndestroy aErrNone\n");
    EXPECT_EQ(heard, "ping");
    EXPECT_TRUE(usbTwin.events().empty()) << "no libusb call reaches the device";
}
