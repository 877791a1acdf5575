#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <numeric>
#include <string>
#include <vector>

#include "aStream.h"
#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes range(int first, int last) {
    Bytes out;
    for (int v = first; v <= last; ++v) out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The line under the framing stream: what is written collects in `sent`,
// what the test queues in `incoming` is read back one byte per get.
struct Line {
    Bytes sent;
    std::deque<uint8_t> incoming;
    aErr failure = aErrNone;  // returned by get instead of a byte when set
    bool deleted = false;

    static aErr get(uint8_t* byte, void* ref) {
        Line* line = static_cast<Line*>(ref);
        if (line->failure != aErrNone) return line->failure;
        if (line->incoming.empty()) return aErrNotReady;
        *byte = line->incoming.front();
        line->incoming.pop_front();
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) {
        static_cast<Line*>(ref)->sent.push_back(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        Line* line = static_cast<Line*>(ref);
        line->sent.insert(line->sent.end(), data, data + length);
        return aErrNone;
    }
    static aErr del(void* ref) {
        static_cast<Line*>(ref)->deleted = true;
        return aErrNone;
    }
};

class CobsStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::del, &line,
                                             &stream),
                  aErrNone);
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
        EXPECT_TRUE(line.deleted);
    }

    // Feeds line bytes; every get up to and including the delimiter must
    // report no byte, the last one `atDelimiter`.
    void feed(const Bytes& block, aErr atDelimiter = aErrNotReady) {
        line.incoming.insert(line.incoming.end(), block.begin(), block.end());
        for (size_t i = 0; i < block.size(); ++i) {
            uint8_t byte = 0;
            const aErr expected = i + 1 == block.size() ? atDelimiter : aErrNotReady;
            ASSERT_EQ(stream->get(&byte, stream->ref), expected) << "line byte " << i;
        }
    }
    // Takes the decoded frame bytes that follow a good block.
    Bytes frame(size_t size) {
        Bytes out;
        for (size_t i = 0; i < size; ++i) {
            uint8_t byte = 0;
            if (stream->get(&byte, stream->ref) != aErrNone) break;
            out.push_back(byte);
        }
        return out;
    }
    void expectIdle() {
        uint8_t byte = 0;
        EXPECT_EQ(stream->get(&byte, stream->ref), aErrNotReady);
    }

    Line line;
    aStreamRef stream = nullptr;
};

Bytes blockFor(const Bytes& frame) {
    Bytes withCrc = frame;
    withCrc.push_back(crc8_create(frame.data(), frame.size()));
    Bytes block(cobs_max_encoded_size(withCrc.size()) + 1);
    const size_t n = cobs_encode(withCrc.data(), withCrc.size(), block.data(), block.size());
    block.resize(n);
    block.push_back(0);
    return block;
}

}  // namespace

TEST(Crc8, KnownValues) {
    const struct {
        std::string text;
        uint8_t crc;
    } cases[] = {{"123456789", 0xA1}, {"abc", 0x42}, {std::string("\x04\x00", 2), 0x3B}, {"", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()),
                  c.crc)
            << c.text;
    }
    uint8_t stepwise = 0;
    for (char ch : std::string("123456789")) stepwise = crc8_update(stepwise, ch);
    EXPECT_EQ(stepwise, 0xA1);
}

TEST(Cobs, EncodesPublishedExamples) {
    const struct {
        const char* what;
        Bytes plain;
        Bytes encoded;
    } cases[] = {
        {"empty", {}, {0x01}},
        {"one zero", {0x00}, {0x01, 0x01}},
        {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
        {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {"no zero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
        {"trailing zeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
        {"254 non-zero", range(1, 254), concat({0xFF}, range(1, 254))},
        {"zero then 254", range(0, 254), concat({0x01, 0xFF}, range(1, 254))},
        {"255 non-zero", range(1, 255), concat(concat({0xFF}, range(1, 254)), {0x02, 0xFF})},
        {"run cut before zero", concat(range(2, 255), {0x00}),
         concat(concat({0xFF}, range(2, 255)), {0x01, 0x01})},
        {"run cut after zero", concat(range(3, 255), {0x00, 0x01}),
         concat(concat({0xFE}, range(3, 255)), {0x02, 0x01})},
    };
    for (const auto& c : cases) {
        Bytes out(cobs_max_encoded_size(c.plain.size()));
        out.resize(cobs_encode(c.plain.data(), c.plain.size(), out.data(), out.size()));
        EXPECT_EQ(out, c.encoded) << c.what;

        Bytes inPlace = c.plain;
        inPlace.resize(cobs_max_encoded_size(c.plain.size()));
        inPlace.resize(cobs_encode_inplace(inPlace.data(), c.plain.size(), inPlace.size()));
        EXPECT_EQ(inPlace, c.encoded) << c.what << " in place";

        Bytes back(c.plain.size() + 1);
        back.resize(cobs_decode(c.encoded.data(), c.encoded.size(), back.data(), back.size()));
        EXPECT_EQ(back, c.plain) << c.what << " decoded";
        Bytes backInPlace = c.encoded;
        backInPlace.resize(cobs_decode_inplace(backInPlace.data(), backInPlace.size()));
        EXPECT_EQ(backInPlace, c.plain) << c.what << " decoded in place";
    }
}

TEST(Cobs, InPlaceMatchesCopyingEncoderAcrossRunLengths) {
    // Zeros at every 7th position and long runs exercise both kinds of block.
    for (size_t length = 0; length <= 700; length += 13) {
        Bytes plain(length);
        for (size_t i = 0; i < length; ++i)
            plain[i] = (i % 7 == 3 && length < 300) ? 0 : i % 251 + 1;
        Bytes copy(cobs_max_encoded_size(length));
        copy.resize(cobs_encode(plain.data(), length, copy.data(), copy.size()));
        Bytes inPlace = plain;
        inPlace.resize(copy.size());
        ASSERT_EQ(cobs_encode_inplace(inPlace.data(), length, inPlace.size()), copy.size());
        ASSERT_EQ(inPlace, copy) << length;
        EXPECT_EQ(std::count(copy.begin(), copy.end(), 0), 0);
        Bytes back(length + 1);
        EXPECT_EQ(cobs_decode(copy.data(), copy.size(), back.data(), back.size()), length);
        back.resize(length);
        EXPECT_EQ(back, plain);
    }
}

TEST(Cobs, RefusesWhatDoesNotFitOrIsDamaged) {
    Bytes buffer = {0x11, 0x22, 0x33};
    EXPECT_EQ(cobs_encode_inplace(buffer.data(), 3, 3), 0u) << "no room for the code byte";
    EXPECT_EQ(buffer, (Bytes{0x11, 0x22, 0x33})) << "a refused encoding leaves the buffer alone";
    uint8_t out[8];
    EXPECT_EQ(cobs_encode(buffer.data(), 3, out, 3), 0u);

    const struct {
        const char* what;
        Bytes encoded;
    } damaged[] = {
        {"code points past the end", {0x05, 0x11, 0x22}},
        {"zero byte inside", {0x03, 0x11, 0x00}},
        {"zero code byte", {0x00, 0x11}},
    };
    for (const auto& c : damaged) {
        EXPECT_EQ(cobs_decode(c.encoded.data(), c.encoded.size(), out, sizeof out), 0u) << c.what;
    }
    const Bytes longRun = {0x05, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(cobs_decode(longRun.data(), longRun.size(), out, 3), 0u) << "output too small";
}

TEST_F(CobsStream, AddressOnlyFrameGoesOutAsKnownBlock) {
    const uint8_t frame[] = {0x04, 0x00};
    ASSERT_EQ(aStream_Write(stream, frame, sizeof frame), aErrNone);
    EXPECT_EQ(line.sent, (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
}

TEST_F(CobsStream, EveryFrameLengthTravelsWhole) {
    for (uint8_t dataLength = 0; dataLength <= 28; ++dataLength) {
        Bytes original = {0x06, dataLength};
        for (uint8_t i = 0; i < dataLength; ++i) original.push_back(i % 3 ? 0x40 + i : 0x00);
        line.sent.clear();
        ASSERT_EQ(aStream_Write(stream, original.data(), original.size()), aErrNone);
        ASSERT_FALSE(line.sent.empty());
        EXPECT_EQ(line.sent.back(), 0);
        EXPECT_EQ(std::count(line.sent.begin(), line.sent.end(), 0), 1) << "one delimiter";
        if (dataLength == 28) {
            EXPECT_EQ(line.sent.size(), 33u) << "32 encoded bytes + delimiter";
        }

        feed(line.sent);
        EXPECT_EQ(frame(original.size() + 1), original) << "data length " << int(dataLength);
        expectIdle();
    }
}

TEST_F(CobsStream, PooledWriteSendsOneBlockPerFrame) {
    const Bytes frames = {0x02, 0x01, 0xAA, 0xAD, 0x00, 0x04, 0x02, 0x00, 0x01};
    ASSERT_EQ(aStream_Write(stream, frames.data(), frames.size()), aErrNone);
    EXPECT_EQ(line.sent, concat(concat(blockFor({0x02, 0x01, 0xAA}), blockFor({0xAD, 0x00})),
                                blockFor({0x04, 0x02, 0x00, 0x01})));
}

TEST_F(CobsStream, BackToBackBlocksArriveInOrder) {
    const Bytes first = {0x02, 0x02, 0x17, 0x00}, second = {0x08, 0x00};
    feed(blockFor(first));
    EXPECT_EQ(frame(first.size()), first);
    feed(blockFor(second));
    EXPECT_EQ(frame(second.size()), second);
    expectIdle();
}

TEST_F(CobsStream, DamagedBlocksAreReportedOnceAndDropped) {
    const Bytes good = {0x02, 0x01, 0x55};
    Bytes badCrc = blockFor(good);
    badCrc[badCrc.size() - 2] ^= 0x01;     // the CRC sits last before the delimiter
    Bytes badLength = {0x02, 0x02, 0x55};  // says two data bytes, carries one
    badLength.push_back(crc8_create(badLength.data(), badLength.size()));
    Bytes lengthBlock(8);
    lengthBlock.resize(cobs_encode(badLength.data(), badLength.size(), lengthBlock.data(), 8));
    lengthBlock.push_back(0);
    Bytes overlong(40, 0x11);
    overlong.push_back(0);

    const struct {
        const char* what;
        Bytes block;
    } cases[] = {
        {"wrong CRC", badCrc}, {"wrong length byte", lengthBlock}, {"over-long", overlong}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        feed(c.block, aErrPacket);
        expectIdle();
        feed(blockFor(good));
        EXPECT_EQ(frame(good.size()), good) << "the next good block still comes through";
    }
}

TEST_F(CobsStream, LowerFailuresPassUpAndIdleStaysQuiet) {
    feed({0x00, 0x00});  // bare delimiters carry nothing
    expectIdle();
    line.failure = aErrIO;
    uint8_t byte = 0;
    EXPECT_EQ(stream->get(&byte, stream->ref), aErrIO);
}
