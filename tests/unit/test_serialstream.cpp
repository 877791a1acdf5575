#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "aStream.h"
#include "tempdir.h"
#include "unix_streamserial.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal pair: the stream opens the port (the slave side) by its
// path; the test plays the device on the master side.
class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        port = ptsname(master);
        // Held open so the port keeps its settings between streams.
        slave = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
    }
    void TearDown() override {
        if (stream) aStream_Destroy(&stream);
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }

    std::string deviceReads(size_t n) {
        std::string out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            char buffer[64];
            const ssize_t got = read(master, buffer, std::min(sizeof buffer, n - out.size()));
            if (got <= 0) break;
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }
    void deviceSends(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The stream's next result other than aErrNotReady, within bounded tries.
    aErr next(uint8_t* byte) {
        aErr err = aErrNotReady;
        for (int i = 0; i < 400 && err == aErrNotReady; ++i) err = stream->get(byte, stream->ref);
        return err;
    }
    std::string streamReads(size_t n) {
        std::string out;
        uint8_t byte;
        while (out.size() < n && next(&byte) == aErrNone) out.push_back(static_cast<char>(byte));
        return out;
    }

    int master = -1;
    int slave = -1;
    std::string port;
    aStreamRef stream = nullptr;
};

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

TEST_F(SerialPort, PlainBytesBothWays) {
    ASSERT_EQ(aStream_CreateSerial(port.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "ISP?\r\n", 6), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "!", 1), aErrNone);
    EXPECT_EQ(deviceReads(7), "ISP?\r\n!");

    deviceSends(std::string("OK\0\r\n", 5));
    EXPECT_EQ(streamReads(5), std::string("OK\0\r\n", 5)) << "raw: no translation of any byte";
}

TEST_F(SerialPort, IdleGetReportsNotReadyQuickly) {
    ASSERT_EQ(aStream_CreateSerial(port.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    uint8_t byte;
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(stream->get(&byte, stream->ref), aErrNotReady);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(ms, 10 * aSERIAL_IDLE_WAIT_MS + 150);
    EXPECT_GE(ms, 10 * aSERIAL_IDLE_WAIT_MS - 5) << "an idle reader sleeps instead of spinning";
}

TEST_F(SerialPort, PacketizedFramesTravelAsCheckedBlocks) {
    ASSERT_EQ(aStream_CreateSerial_Packetized(port.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    const uint8_t frame[] = {0x04, 0x00};
    ASSERT_EQ(aStream_Write(stream, frame, sizeof frame), aErrNone);
    EXPECT_EQ(deviceReads(5), std::string("\x02\x04\x02\x3B\x00", 5));

    deviceSends(std::string("\x02\x04\x02\x3B\x00", 5));
    EXPECT_EQ(streamReads(2), std::string("\x04\x00", 2));
}

TEST_F(SerialPort, SettingsAreRestoredOnDestroy) {
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON) << "a fresh terminal starts in canonical mode";

    for (bool packetized : {false, true}) {
        SCOPED_TRACE(packetized ? "packetized" : "plain");
        const aErr made = packetized
                              ? aStream_CreateSerial_Packetized(port.c_str(), 2, 1, 1, 1, &stream)
                              : aStream_CreateSerial(port.c_str(), 7, 0, 0, 0, &stream);
        ASSERT_EQ(made, aErrNone);
        termios applied;
        ASSERT_EQ(tcgetattr(slave, &applied), 0);
        EXPECT_FALSE(applied.c_lflag & (ICANON | ECHO));
        EXPECT_EQ(applied.c_cc[VMIN], 0);
        // A pseudo-terminal always keeps 8 data bits without parity, so only
        // speed and stop bits show here.
        EXPECT_EQ(cfgetospeed(&applied), packetized ? B9600 : B230400);
        EXPECT_EQ(applied.c_cflag & CSTOPB, packetized ? CSTOPB : 0u);
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        termios after;
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_TRUE(sameSettings(before, after));
    }
}

TEST_F(SerialPort, VanishedPortIsReported) {
    ASSERT_EQ(aStream_CreateSerial(port.c_str(), 6, 0, 0, 0, &stream), aErrNone);
    close(master);
    master = -1;
    uint8_t byte;
    EXPECT_EQ(next(&byte), aErrIO) << "a hung-up port is an error, not an idle line";
}

TEST(SerialStream, CreationRefusals) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("plain-file"), "x");
    testsupport::writeFile(dir.file("locked"), "x");
    chmod(dir.file("locked").c_str(), 0);
    const std::string missing = dir.file("ttyMissing"), plain = dir.file("plain-file"),
                      locked = dir.file("locked");
    const struct {
        const char* what;
        const char* port;
        uint32_t dataBits, stopBits;
        aErr result;
    } cases[] = {
        {"no port", nullptr, 0, 0, aErrResource},
        {"stop bits mode 2", "/dev/null", 0, 2, aErrResource},
        {"data bits mode 2", "/dev/null", 2, 0, aErrResource},
        {"no such port", missing.c_str(), 0, 0, aErrNotFound},
        {"not a terminal", plain.c_str(), 0, 0, aErrIO},
        {"no access", locked.c_str(), 0, 0, geteuid() == 0 ? aErrIO : aErrPermission},
    };
    for (const auto& c : cases) {
        for (bool packetized : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (packetized ? " packetized" : " plain"));
            aStreamRef stream = reinterpret_cast<aStreamRef>(&dir);
            const aErr made =
                packetized
                    ? aStream_CreateSerial_Packetized(c.port, 6, 0, c.dataBits, c.stopBits, &stream)
                    : aStream_CreateSerial(c.port, 6, 0, c.dataBits, c.stopBits, &stream);
            EXPECT_EQ(made, c.result);
            EXPECT_EQ(stream, nullptr);
        }
    }
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, nullptr), aErrResource);
}
