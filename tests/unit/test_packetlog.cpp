// Packet log ring, a link's packet-log operations, and the logger thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

template <typename Done>
bool eventually(Done done, milliseconds limit = milliseconds(5000)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

struct Record {
    int32_t type = -1;
    Bytes bytes;
    bool operator==(const Record&) const = default;
};

// ---- the ring ----

struct LogDeleter {
    void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

aErr put(aPacketLog* log, uint8_t type, const Bytes& bytes) {
    return aPacketLog_Put(log, type, static_cast<uint32_t>(bytes.size()), bytes.data());
}

// Every record left, oldest first.
std::vector<Record> drain(aPacketLog* log) {
    std::vector<Record> records;
    for (;;) {
        Record r;
        r.bytes.resize(255);
        uint32_t length = 255;
        if (aPacketLog_Get(log, &r.type, &length, r.bytes.data()) != aErrNone) break;
        r.bytes.resize(length);
        records.push_back(r);
    }
    return records;
}

TEST(PacketLog, CreateLimits) {
    EXPECT_FALSE(LogPtr(aPacketLog_Create(0)));
    EXPECT_FALSE(LogPtr(aPacketLog_Create(aPACKETLOG_MAX_SIZE + 1)));
    LogPtr log(aPacketLog_Create(16));
    ASSERT_TRUE(log);
    EXPECT_EQ(log->capacity, 16u);
    EXPECT_EQ(log->enabled, 0);
    aPacketLog* none = nullptr;
    EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
}

TEST(PacketLog, FullRingKeepsTheNewestRecordsThatFit) {
    LogPtr log(aPacketLog_Create(16));
    const Bytes a(5, 'a'), b(5, 'b'), c(5, 'c');
    for (const Bytes* bytes : {&a, &b, &c}) ASSERT_EQ(put(log.get(), 1, *bytes), aErrNone);
    EXPECT_EQ(drain(log.get()), (std::vector<Record>{{1, b}, {1, c}}));

    // 14 bytes and a header fill all 16: one byte must stay free.
    EXPECT_EQ(put(log.get(), 2, Bytes(14, 'x')), aErrOverrun);
    // 13 bytes fit once everything older has gone.
    ASSERT_EQ(put(log.get(), 2, a), aErrNone);
    ASSERT_EQ(put(log.get(), 2, Bytes(13, 'y')), aErrNone);
    EXPECT_EQ(drain(log.get()), (std::vector<Record>{{2, Bytes(13, 'y')}}));
    EXPECT_EQ(aPacketLog_Put(log.get(), 1, 256, Bytes(256).data()), aErrParam);
}

TEST(PacketLog, RecordsSurviveWrappingAroundTheRing) {
    LogPtr log(aPacketLog_Create(23));  // does not divide evenly by any record size
    for (int i = 0; i < 50; ++i) {
        const Bytes bytes(static_cast<size_t>(i % 7), static_cast<uint8_t>(i));
        ASSERT_EQ(put(log.get(), 3, bytes), aErrNone);
        EXPECT_EQ(drain(log.get()), (std::vector<Record>{{3, bytes}})) << i;
    }
}

TEST(PacketLog, GetWithShortBufferKeepsTheRecord) {
    LogPtr log(aPacketLog_Create(64));
    int32_t type = 0;
    uint32_t length = 8;
    uint8_t buffer[8];
    EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrNotFound);

    ASSERT_EQ(put(log.get(), 2, {1, 2, 3, 4, 5}), aErrNone);
    length = 4;
    EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrOverrun);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(length, 5u);
    length = sizeof buffer;
    ASSERT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{1, 2, 3, 4, 5}));
}

// ---- a link's log ----

// A stream that hands out queued bytes and keeps what is written; get waits
// a little when there is nothing, like a real transport.
struct Script {
    std::mutex lock;
    std::deque<uint8_t> input;
    Bytes output;

    void queue(const Bytes& bytes) {
        std::lock_guard<std::mutex> hold(lock);
        input.insert(input.end(), bytes.begin(), bytes.end());
    }
    size_t written() {
        std::lock_guard<std::mutex> hold(lock);
        return output.size();
    }
    static aErr get(uint8_t* byte, void* ref) {
        Script* s = static_cast<Script*>(ref);
        {
            std::lock_guard<std::mutex> hold(s->lock);
            if (!s->input.empty()) {
                *byte = s->input.front();
                s->input.pop_front();
                return aErrNone;
            }
        }
        std::this_thread::sleep_for(milliseconds(5));
        return aErrNotReady;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        Script* s = static_cast<Script*>(ref);
        std::lock_guard<std::mutex> hold(s->lock);
        s->output.insert(s->output.end(), data, data + length);
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }
};

class LinkLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStreamRef stream =
            aStream_Create(Script::get, Script::put, Script::write, nullptr, &script);
        ASSERT_NE(stream, nullptr);
        link = aLink_Create(stream);
        ASSERT_NE(link, 0);
        // The start's force-route frame is out before any log exists.
        ASSERT_TRUE(eventually([&] { return script.written() == 3; }));
    }
    void TearDown() override {
        if (link) aLink_Destroy(&link);
    }
    std::vector<Record> readAll() {
        std::vector<Record> records;
        for (;;) {
            Record r;
            r.bytes.resize(255);
            uint32_t length = 255;
            if (aLink_PacketDebug_Read(link, &r.type, &length, r.bytes.data()) != aErrNone) break;
            r.bytes.resize(length);
            records.push_back(r);
        }
        return records;
    }
    // Sends one packet and receives one, and waits until both went through.
    void exchange(uint8_t tag) {
        const size_t before = script.written();
        PacketPtr out(aPacket_CreateWithData(6, 1, &tag));
        ASSERT_EQ(aLink_PutPacket(link, out.get()), aErrNone);
        script.queue({6, 1, tag});
        ASSERT_TRUE(PacketPtr(aLink_AwaitPacket(link, 3000)));
        ASSERT_TRUE(eventually([&] { return script.written() == before + 3; }));
    }

    struct PacketDeleter {
        void operator()(aPacket* p) const { aPacket_Destroy(&p); }
    };
    using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

    Script script;
    int32_t link = 0;
};

TEST_F(LinkLogTest, OperationsNeedALinkAndALog) {
    int32_t type;
    uint32_t length = 8;
    uint8_t buffer[8];
    const int32_t none = 777777;
    for (aErr err :
         {aLink_PacketDebug_SetLogSize(none, 100), aLink_PacketDebug_Enable(none),
          aLink_PacketDebug_Disable(none), aLink_PacketDebug_Read(none, &type, &length, buffer),
          aLink_PacketDebug_Write(none, 3, 1, buffer)}) {
        EXPECT_EQ(err, aErrParam);
    }
    EXPECT_EQ(aLink_PacketDebug_Read(link, &type, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(link, 3, 1, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(link), aErrNotReady);
}

TEST_F(LinkLogTest, LogSizeIsFixedWhenTheLogIsMade) {
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link, aPACKETLOG_MAX_SIZE + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link, -5), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link), aErrNone);
    EXPECT_EQ(aLinkManager_Record(link)->packetLog->capacity, aPACKETLOG_DEFAULT_SIZE);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link, 100), aErrBusy);
}

TEST_F(LinkLogTest, EnabledLogRecordsFramesBothWaysAndText) {
    ASSERT_EQ(aLink_PacketDebug_Enable(link), aErrNone);
    const uint8_t start[] = "START";
    ASSERT_EQ(aLink_PacketDebug_Write(link, aPACKETLOG_TEXT, sizeof start, start), aErrNone);
    exchange(0x42);
    std::vector<Record> records = readAll();
    // The sent and received frames may be recorded in either order.
    std::sort(records.begin() + 1, records.end(),
              [](const Record& a, const Record& b) { return a.type < b.type; });
    EXPECT_EQ(records, (std::vector<Record>{{aPACKETLOG_TEXT, Bytes(start, start + sizeof start)},
                                            {aPACKETLOG_SENT, {6, 1, 0x42}},
                                            {aPACKETLOG_RECEIVED, {6, 1, 0x42}}}));
}

// A disabled log stops recording frames; what it holds stays readable and
// the application may still add text.
TEST_F(LinkLogTest, DisabledLogStopsRecordingFrames) {
    ASSERT_EQ(aLink_PacketDebug_Enable(link), aErrNone);
    exchange(1);
    ASSERT_EQ(aLink_PacketDebug_Disable(link), aErrNone);
    exchange(2);
    const uint8_t note = 'n';
    ASSERT_EQ(aLink_PacketDebug_Write(link, aPACKETLOG_TEXT, 1, &note), aErrNone);
    std::vector<Record> records = readAll();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].bytes[2], 1);
    EXPECT_EQ(records[1].bytes[2], 1);
    EXPECT_EQ(records[2], (Record{aPACKETLOG_TEXT, {'n'}}));
}

// ---- the logger ----

struct Calls {
    std::atomic<int> count{0};
    std::atomic<aLoggerRef> self{nullptr};
    std::atomic<int> disableResult{-1};
};
Calls gCalls;

aErr writeLine(aFileRef file, int32_t argument) {
    const int n = ++gCalls.count;
    if (n <= 3) aFile_Printf(file, "line %d of %d\n", n, argument);
    return n <= 3 ? aErrNone : aErrNotReady;
}

aErr disableSelf(aFileRef, int32_t) {
    if (++gCalls.count == 1) gCalls.disableResult = aLogger_Disable(gCalls.self);
    return aErrNotReady;
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gCalls.count = 0;
        gCalls.disableResult = -1;
    }
    TempDir dir;
};

TEST_F(LoggerTest, CreateNeedsAProcedureAndAWritableFile) {
    EXPECT_EQ(aLogger_Create(0, writeLine, dir.file("missing/log.txt").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, nullptr, dir.file("log.txt").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, writeLine, nullptr), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLoggerRef none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
}

TEST_F(LoggerTest, RunsTheProcedureUntilDisabled) {
    const std::string path = dir.file("log.txt");
    aLoggerRef logger = aLogger_Create(7, writeLine, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(gCalls.count, 0);  // created disabled
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(eventually([] { return gCalls.count > 4; }));
    // Unbuffered: the lines are in the file while the logger still runs.
    EXPECT_EQ(readFile(path), "line 1 of 7\nline 2 of 7\nline 3 of 7\n");
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    const int calls = gCalls.count;
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(gCalls.count, calls);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, DisableFromItsOwnProcedureDoesNothing) {
    aLoggerRef logger = aLogger_Create(0, disableSelf, dir.file("log.txt").c_str());
    ASSERT_NE(logger, nullptr);
    gCalls.self = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(eventually([] { return gCalls.count > 2; }));
    EXPECT_EQ(gCalls.disableResult, aErrNone);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}

}  // namespace
