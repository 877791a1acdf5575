#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "aStream.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// A transport driven by the test: get hands out queued bytes, then reports
// `whenEmpty`; put and write are counted separately.
struct Script {
    std::deque<uint8_t> input;
    aErr whenEmpty = aErrNotReady;
    std::string output;
    int puts = 0;
    int writes = 0;
    aErr deleteResult = aErrNone;

    void queue(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

    static aErr get(uint8_t* byte, void* ref) {
        Script* s = static_cast<Script*>(ref);
        if (s->input.empty()) return s->whenEmpty;
        *byte = s->input.front();
        s->input.pop_front();
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) {
        Script* s = static_cast<Script*>(ref);
        ++s->puts;
        s->output.push_back(static_cast<char>(*byte));
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        Script* s = static_cast<Script*>(ref);
        ++s->writes;
        s->output.append(reinterpret_cast<const char*>(data), length);
        return aErrNone;
    }
    static aErr del(void* ref) { return static_cast<Script*>(ref)->deleteResult; }
};

// A stream over a Script, destroyed with the fixture.
class StreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stream = aStream_Create(Script::get, Script::put, Script::write, Script::del, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (stream) aStream_Destroy(&stream);
    }
    std::string read(size_t n, aErr expected = aErrNone) {
        std::string out(n, '\0');
        EXPECT_EQ(aStream_Read(stream, out.data(), n), expected);
        return out;
    }

    Script script;
    aStreamRef stream = nullptr;
};

}  // namespace

TEST_F(StreamTest, TimedOutPartialReadLosesNothing) {
    script.queue("ab");
    char block[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(aStream_Read(stream, block, 4), aErrNotReady);
    EXPECT_EQ(std::string(block, 4), "----") << "the destination is untouched";
    script.queue("cd");
    EXPECT_EQ(read(4), "abcd");
    EXPECT_EQ(stream->pushCount, 0u);
}

TEST_F(StreamTest, EndAndErrorsOfTheTransport) {
    script.queue("xy");
    script.whenEmpty = aErrEOF;
    EXPECT_EQ(read(4, aErrEOF).substr(0, 2), "xy") << "bytes before the end are delivered";

    script.queue("pq");
    script.whenEmpty = aErrIO;
    read(4, aErrIO);
    script.whenEmpty = aErrNotReady;
    script.queue("rs");
    EXPECT_EQ(read(2), "rs") << "bytes taken before a failure are dropped";
}

TEST_F(StreamTest, OneByteWritesUsePutLongerOnesOneWrite) {
    EXPECT_EQ(aStream_Write(stream, "a", 1), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 0);
    EXPECT_EQ(aStream_Write(stream, "bcd", 3), aErrNone);
    EXPECT_EQ(script.writes, 1);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(aStream_Write(stream, "", 0), aErrNone);
    EXPECT_EQ(script.output, "abcd");
}

TEST(Stream, WriteWithoutBlockOperationPutsEachByte) {
    Script script;
    aStreamRef putOnly = aStream_Create(nullptr, Script::put, nullptr, nullptr, &script);
    aStreamRef readOnly = aStream_Create(Script::get, nullptr, nullptr, nullptr, &script);
    EXPECT_EQ(aStream_Write(putOnly, "xyz", 3), aErrNone);
    EXPECT_EQ(script.puts, 3);
    EXPECT_EQ(aStream_Write(readOnly, "x", 1), aErrMode);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(putOnly, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Write(putOnly, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    aStream_Destroy(&putOnly);
    aStream_Destroy(&readOnly);
}

TEST_F(StreamTest, PushBackKeepsOrderAcrossGrowthAndWrap) {
    // 300 in, 200 out moves the head; 500 more wraps the ring and grows it.
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i)), aErrNone);
        expected.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(read(200), expected.substr(0, 200));
    expected.erase(0, 200);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i * 7)), aErrNone);
        expected.push_back(static_cast<char>(i * 7));
    }
    EXPECT_EQ(stream->pushCapacity, 1024u);
    script.queue("tail");
    EXPECT_EQ(read(expected.size() + 4), expected + "tail") << "pushed-back bytes come first";
}

TEST_F(StreamTest, SixHundredPushedBytesKeepTheirOrder) {
    std::string expected;
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i % 251)), aErrNone);
        expected.push_back(static_cast<char>(i % 251));
    }
    EXPECT_EQ(stream->pushCapacity, 1024u);
    EXPECT_EQ(read(600), expected);
}

TEST_F(StreamTest, Records) {
    const std::string z("\0", 1);
    const struct {
        const char* what;
        std::string input;
        aErr end;  // what the transport reports after the input
        size_t size;
        std::string terminator;
        aErr result;
        std::string record;
        std::string left;  // what a following read of the rest returns
    } cases[] = {
        {"full buffer", "abcdefg", aErrNotReady, 4, z, aErrNone, "abcd", "efg"},
        {"terminator consumed", "ab" + z + "c", aErrNotReady, 4, z, aErrNone, "ab", "c"},
        {"end before any byte", "", aErrEOF, 4, z, aErrEOF, "", ""},
        {"end ends the record", "xy", aErrEOF, 4, "\n", aErrNone, "xy", ""},
        {"two-byte terminator", "a\r\rb\r\nz", aErrNotReady, 16, "\r\n", aErrNone, "a\r\rb", "z"},
        {"cut terminator is data", "ab\r", aErrEOF, 16, "\r\n", aErrNone, "ab\r", ""},
        {"partial match fills the block", "ab\r\r\n", aErrNotReady, 3, "\r\n", aErrNone, "ab\r",
         "\r\n"},
        {"transport failure", "ab", aErrIO, 4, "\n", aErrIO, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        script.input.clear();
        script.queue(c.input);
        script.whenEmpty = c.end;
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        size_t count = 99;
        EXPECT_EQ(aStream_ReadRecord(stream, buffer, &count, c.size, c.terminator.data(),
                                     c.terminator.size()),
                  c.result);
        EXPECT_EQ(std::string(buffer, c.result == aErrIO ? 0 : count), c.record);
        script.whenEmpty = aErrEOF;
        EXPECT_EQ(read(c.left.size()), c.left);
    }
}

TEST_F(StreamTest, RecordInterruptedByTimeoutResumes) {
    script.queue("ab\r");
    char buffer[16];
    size_t count = 0;
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, &count, sizeof buffer, "\r\n", 2), aErrNotReady);
    script.queue("\ncd");
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, &count, sizeof buffer, "\r\n", 2), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "ab");
    EXPECT_EQ(read(2), "cd");
}

TEST_F(StreamTest, CStrings) {
    script.queue(std::string("abcdefg"));
    char text[5];
    EXPECT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "abcd");
    script.input.clear();
    script.queue(std::string("ab\0cd", 5));
    EXPECT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(read(2), "cd") << "the zero is consumed";
    EXPECT_EQ(aStream_ReadCString(stream, text, 1), aErrParam) << "no room for any byte";

    script.queue("key=1;rest");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, ";"), aErrNone);
    EXPECT_STREQ(text, "key=");  // buffer full before the terminator
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, ";"), aErrNone);
    EXPECT_STREQ(text, "1");

    EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "k", "\r\n"), aErrNone);
    EXPECT_EQ(aStream_WriteRecord(stream, "ab", 2, "", 0), aErrParam);
    EXPECT_EQ(script.output, std::string("hi\0k\r\n\0", 7));
}

TEST(Stream, DestroyChecksTheRecordAndClearsThePointer) {
    Script script;
    script.deleteResult = aErrIO;
    aStreamRef stream = aStream_Create(nullptr, nullptr, nullptr, Script::del, &script);
    ASSERT_EQ(aStreamBufferChar(stream, 1), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO) << "the transport's delete result";
    EXPECT_EQ(stream, nullptr);

    aStream notAStream{};
    aStreamRef foreign = &notAStream;
    EXPECT_EQ(aStream_Destroy(&foreign), aErrParam);
    EXPECT_EQ(foreign, nullptr);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST(Stream, FileStreamsCopyAFile) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 3000; ++i) content.push_back(static_cast<char>(i * 13));
    writeFile(dir.file("in"), content);

    aStreamRef in = nullptr, out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(dir.file("in").c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(dir.file("out").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Write(out, "hdr", 3), aErrNone);
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Flush(out, in), aErrMode) << "an output stream cannot be a source";
    EXPECT_EQ(aStream_Write(in, "x", 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(readFile(dir.file("out")), "hdr" + content);
}

TEST(Stream, FileStreamsRefuseWhatCannotBeOpened) {
    TempDir dir;
    aStreamRef stream = reinterpret_cast<aStreamRef>(&dir);
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("no/such/out").c_str(), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), nullptr), aErrResource);
}
