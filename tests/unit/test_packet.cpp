// Packets, UEI helpers and error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "aError.h"
#include "aPacket.h"
#include "aUEI.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr makePacket(uint8_t address, std::vector<uint8_t> data) {
    return PacketPtr(
        aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

std::vector<uint8_t> dataOf(const aPacket* p) {
    return {p->data, p->data + p->length};
}

// ---- error texts ----

TEST(PacketErrorText, NamesDescriptionsAndFallback) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrPacket), "aErrPacket");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Zentrovia command to short");
    for (uint32_t code : {35u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown") << code;
        EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error") << code;
    }
}

// ---- packet records ----

TEST(PacketTest, CreateIsZeroedAndIncomplete) {
    PacketPtr p(aPacket_Create());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->marker, aPACKET_MARKER);
    EXPECT_EQ(p->fill, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->length, 0);
    EXPECT_EQ(std::count(p->data, p->data + aPACKET_MAX_DATA, 0), aPACKET_MAX_DATA);
    EXPECT_FALSE(aPacket_IsComplete(p.get()));
}

TEST(PacketTest, CreateWithDataLengths) {
    std::array<uint8_t, 29> bytes;
    std::iota(bytes.begin(), bytes.end(), 1);

    struct Case {
        uint8_t length;
        const uint8_t* data;
        bool created;
    } cases[] = {
        {0, bytes.data(), true},   {1, bytes.data(), true}, {28, bytes.data(), true},
        {29, bytes.data(), false}, {0, nullptr, false},     {4, nullptr, false},
    };
    for (const Case& c : cases) {
        PacketPtr p(aPacket_CreateWithData(0x06, c.length, c.data));
        ASSERT_EQ(p != nullptr, c.created) << int(c.length);
        if (!p) continue;
        EXPECT_EQ(p->address, 0x06);
        EXPECT_EQ(p->length, c.length);
        EXPECT_EQ(p->fill, c.length + 2);
        EXPECT_TRUE(aPacket_IsComplete(p.get()));
        EXPECT_EQ(0, std::memcmp(p->data, bytes.data(), c.length));
        // Bytes past the length stay zero.
        EXPECT_EQ(std::count(p->data + c.length, p->data + aPACKET_MAX_DATA, 0),
                  aPACKET_MAX_DATA - c.length);
    }
}

TEST(PacketTest, CopyResetDestroy) {
    PacketPtr p = makePacket(0x04, {1, 2, 3});
    PacketPtr copy(aPacket_Copy(p.get()));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), p.get());
    EXPECT_EQ(copy->address, 0x04);
    EXPECT_EQ(dataOf(copy.get()), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(aPacket_IsComplete(copy.get()));

    ASSERT_EQ(aPacket_Reset(p.get()), aErrNone);
    EXPECT_EQ(p->fill, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->length, 0);
    EXPECT_EQ(std::count(p->data, p->data + aPACKET_MAX_DATA, 0), aPACKET_MAX_DATA);
    EXPECT_EQ(p->marker, aPACKET_MARKER);

    aPacket* raw = aPacket_Copy(copy.get());
    ASSERT_EQ(aPacket_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(aPacket_Destroy(&raw), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(PacketTest, InvalidRecordsAreRefused) {
    aPacket dead = {};  // marker not set
    uint8_t buf[aPACKET_MAX_FRAME];
    uint8_t out = 0;
    EXPECT_EQ(aPacket_Copy(&dead), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    EXPECT_EQ(aPacket_Reset(&dead), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    EXPECT_EQ(aPacket_AddByte(&dead, 4), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
    dead.fill = 2;  // would look complete with a marker
    EXPECT_FALSE(aPacket_IsComplete(&dead));
    EXPECT_EQ(aPacket_GetBytes(&dead, buf, sizeof buf, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetCmd(&dead, &out), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(nullptr, &out), aErrPacket);
}

// ---- byte-wise assembly ----

struct AddStep {
    uint8_t byte;
    aErr result;
    bool complete;
};

void feed(aPacket* p, const std::vector<AddStep>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(aPacket_AddByte(p, steps[i].byte), steps[i].result) << "byte " << i;
        EXPECT_EQ(aPacket_IsComplete(p), steps[i].complete) << "byte " << i;
    }
}

TEST(PacketAssembly, Sequences) {
    struct Case {
        const char* name;
        std::vector<AddStep> steps;
    } cases[] = {
        {"empty frame completes after its length byte",
         {{0x04, aErrNone, false}, {0x00, aErrNone, true}}},
        {"three data bytes",
         {{0x06, aErrNone, false},
          {0x03, aErrNone, false},
          {0x11, aErrNone, false},
          {0x22, aErrNone, false},
          {0x33, aErrNone, true}}},
        {"zero address refused", {{0x00, aErrPacket, false}}},
        {"length 29 refused", {{0x04, aErrNone, false}, {29, aErrPacket, false}}},
        {"byte past a complete frame refused",
         {{0x04, aErrNone, false},
          {0x01, aErrNone, false},
          {0x7E, aErrNone, true},
          {0x55, aErrPacket, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr p(aPacket_Create());
        feed(p.get(), c.steps);
    }
}

TEST(PacketAssembly, FullFrameThenOverrun) {
    PacketPtr p(aPacket_Create());
    ASSERT_EQ(aPacket_AddByte(p.get(), 0x08), aErrNone);
    ASSERT_EQ(aPacket_AddByte(p.get(), aPACKET_MAX_DATA), aErrNone);
    for (uint8_t i = 0; i < aPACKET_MAX_DATA; ++i) {
        ASSERT_EQ(aPacket_AddByte(p.get(), static_cast<uint8_t>(0xA0 + i)), aErrNone);
    }
    ASSERT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->data[0], 0xA0);
    EXPECT_EQ(p->data[27], 0xA0 + 27);
    // The 31st byte overruns the frame, and so does every later one: the
    // counter must not wrap back into the accepting range.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(aPacket_AddByte(p.get(), 1), aErrOverrun) << i;

    ASSERT_EQ(aPacket_Reset(p.get()), aErrNone);
    feed(p.get(), {{0x04, aErrNone, false}, {0x00, aErrNone, true}});
}

// ---- frames and header getters ----

TEST(PacketTest, GetBytesWritesFrame) {
    PacketPtr p = makePacket(0x0A, {cmdSYSTEM, 0x48, 0x20});
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    size_t count = 0;
    ASSERT_EQ(aPacket_GetBytes(p.get(), buf.data(), 5, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(buf, (std::array<uint8_t, 8>{0x0A, 3, cmdSYSTEM, 0x48, 0x20, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(aPacket_GetBytes(p.get(), buf.data(), buf.size(), nullptr), aErrNone);
}

TEST(PacketTest, GetBytesRefusals) {
    PacketPtr p = makePacket(0x0A, {1, 2, 3});
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    size_t count = 99;
    EXPECT_EQ(aPacket_GetBytes(p.get(), buf.data(), 4, &count), aErrOverrun);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), 8) << "an overrun writes nothing";
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(aPacket_GetBytes(p.get(), nullptr, 8, &count), aErrParam);

    // A half-built record holding a refused length byte has no readable frame.
    PacketPtr bad(aPacket_Create());
    aPacket_AddByte(bad.get(), 0x04);
    aPacket_AddByte(bad.get(), 200);
    std::array<uint8_t, 256> big{};
    EXPECT_NE(aPacket_GetBytes(bad.get(), big.data(), big.size(), nullptr), aErrNone);
    EXPECT_EQ(std::count(big.begin(), big.end(), 0), 256);
}

TEST(PacketTest, HeaderGetters) {
    using Getter = aErr (*)(const aPacket*, uint8_t*);
    struct Case {
        const char* name;
        Getter get;
        size_t minLength;
        uint8_t expected;
    } cases[] = {
        {"cmd", aPacket_GetCmd, 1, 0xFF},
        {"option", aPacket_GetOption, 2, 0x3F},
        {"index", aPacket_GetIndex, 3, 0x1F},
    };
    const std::vector<uint8_t> all = {0xFF, 0xFF, 0xFF, 0xFF};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr full = makePacket(2, all);
        uint8_t out = 0;
        EXPECT_EQ(c.get(full.get(), &out), aErrNone);
        EXPECT_EQ(out, c.expected);
        EXPECT_EQ(c.get(full.get(), nullptr), aErrParam);

        PacketPtr shortOne =
            makePacket(2, std::vector<uint8_t>(all.begin(), all.begin() + c.minLength - 1));
        EXPECT_EQ(c.get(shortOne.get(), &out), aErrPacket);
        EXPECT_EQ(c.get(shortOne.get(), nullptr), aErrParam);
    }
}

// ---- UEI values ----

TEST(UEITest, ValueByteOrder) {
    const uint8_t wire[] = {0, 0, 1, 2};
    EXPECT_EQ(aUEI_RetrieveInt(wire), 258u);
    EXPECT_EQ(aUEI_RetrieveShort(wire + 2), 258u);

    uint8_t s[2] = {};
    aUEI_StoreShort(s, 258);
    EXPECT_EQ(s[0], 1);
    EXPECT_EQ(s[1], 2);

    uint8_t i[4] = {};
    aUEI_StoreInt(i, 0x12345678u);
    EXPECT_EQ((std::array<uint8_t, 4>{i[0], i[1], i[2], i[3]}),
              (std::array<uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(aUEI_RetrieveInt(i), 0x12345678u);

    const uint8_t bytes[8] = {0x00, 0x00, 0x01, 0x02, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t words[2];
    std::memcpy(words, bytes, sizeof words);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 258u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
}

TEST(UEITest, RecordLayout) {
    uei u{};
    u.bytes.buffer = nullptr;
    u.intVal = 0;
    u.byteVal = 0x7F;
    // The value members overlay one another.
    EXPECT_EQ(static_cast<void*>(&u.byteVal), static_cast<void*>(&u.bytes));
    EXPECT_EQ(static_cast<void*>(&u.intVal), static_cast<void*>(&u.shortVal));
    EXPECT_EQ(ueiTYPE_VOID, 0);
    EXPECT_EQ(ueiTYPE_BYTE, 1);
    EXPECT_EQ(ueiTYPE_SHORT, 2);
    EXPECT_EQ(ueiTYPE_INT, 4);
    EXPECT_EQ(ueiTYPE_BYTES, 5);
}

// ---- packet classification ----

TEST(UEITest, PayloadCommands) {
    const std::vector<uint8_t> notPayload = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int cmd = 0; cmd < 256; ++cmd) {
        PacketPtr p = makePacket(2, {static_cast<uint8_t>(cmd), 0, 0});
        const bool listed =
            std::find(notPayload.begin(), notPayload.end(), cmd) != notPayload.end();
        EXPECT_EQ(aUEI_isNotUEIPayload(p.get()), listed) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(p.get()), !listed) << cmd;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
    // No command byte at all: not a UEI message.
    PacketPtr empty = makePacket(2, {});
    EXPECT_FALSE(aUEI_isUEIPayload(empty.get()));
}

TEST(UEITest, StreamPackets) {
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        bool stream;
    } cases[] = {
        {"byte value stream", {cmdSYSTEM, 0x08, 0x40, 1, 2}, true},
        {"index and request bits do not matter", {cmdSYSTEM, 0x3F, 0x7F, 1, 2, 3, 4}, true},
        {"four data bytes", {cmdSYSTEM, 0x08, 0x40, 1}, false},
        {"no stream bit", {cmdSYSTEM, 0x08, 0x20, 1, 2}, false},
        {"get bit", {cmdSYSTEM, 0x48, 0x40, 1, 2}, false},
        {"set bit", {cmdSYSTEM, 0x88, 0x40, 1, 2}, false},
        {"non-payload command", {cmdUPGRADE, 0x08, 0x40, 1, 2}, false},
        {"error bit does not matter", {cmdSYSTEM, 0x08, 0xC0, 1, 2}, true},
    };
    for (const Case& c : cases) {
        PacketPtr p = makePacket(2, c.data);
        EXPECT_EQ(aUEI_isStreamPacket(p.get()), c.stream) << c.name;
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(UEITest, BytesSequenceFields) {
    struct Case {
        uint8_t last;
        size_t length;
        uint8_t sequence;
        uint8_t more;
        bool full;
    } cases[] = {
        {0x00, 4, 0, 0, false},  {0x80, 28, 0, 1, true}, {0xFF, 27, 0x7F, 1, true},
        {0x05, 26, 5, 0, false}, {0x81, 3, 1, 1, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data(c.length, 0x11);
        data.back() = c.last;
        PacketPtr p = makePacket(2, data);
        EXPECT_EQ(aUEI_getBytesSequence(p.get()), c.sequence) << c.length;
        EXPECT_EQ(aUEI_getBytesContinue(p.get()), c.more) << c.length;
        EXPECT_EQ(aUEI_getBytesFullPacket(p.get()), c.full) << c.length;
    }
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

// ---- UEI bytes packets ----

struct Sent {
    uint8_t address;
    std::vector<uint8_t> data;
};

std::vector<Sent> buildBytes(const std::vector<uint8_t>& payload, aErr* result) {
    std::vector<Sent> sent;
    *result = aUEI_BuildBytesPackets(0x0C, cmdUPGRADE, 0x8A, 0x20, payload.data(), payload.size(),
                                     [&](aPacket* p) {
                                         EXPECT_TRUE(aPacket_IsComplete(p));
                                         sent.push_back({p->address, dataOf(p)});
                                         return aErrNone;
                                     });
    return sent;
}

TEST(UEIBytes, PacketCutting) {
    struct Case {
        size_t total;
        std::vector<size_t> lengths;  // data lengths
        std::vector<uint8_t> sequence;
    } cases[] = {
        {0, {4}, {0x00}},
        {1, {5}, {0x00}},
        {24, {28}, {0x00}},
        {25, {28, 5}, {0x80, 0x01}},
        {48, {28, 28}, {0x80, 0x01}},
        {49, {28, 28, 5}, {0x80, 0x81, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        std::vector<uint8_t> payload(c.total);
        std::iota(payload.begin(), payload.end(), 1);
        aErr err;
        std::vector<Sent> sent = buildBytes(payload, &err);
        ASSERT_EQ(err, aErrNone);
        ASSERT_EQ(sent.size(), c.lengths.size());
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < sent.size(); ++i) {
            const std::vector<uint8_t>& d = sent[i].data;
            EXPECT_EQ(sent[i].address, 0x0C);
            ASSERT_EQ(d.size(), c.lengths[i]);
            EXPECT_EQ((std::vector<uint8_t>(d.begin(), d.begin() + 3)),
                      (std::vector<uint8_t>{cmdUPGRADE, 0x8A, 0x20}));
            EXPECT_EQ(d.back(), c.sequence[i]);
            joined.insert(joined.end(), d.begin() + 3, d.end() - 1);
        }
        EXPECT_EQ(joined, payload);
    }
}

TEST(UEIBytes, SequenceWrapsAt128) {
    std::vector<uint8_t> payload(130 * ueiBYTES_CHUNK + 1, 0x5A);
    aErr err;
    std::vector<Sent> sent = buildBytes(payload, &err);
    ASSERT_EQ(err, aErrNone);
    ASSERT_EQ(sent.size(), 131u);
    EXPECT_EQ(sent[127].data.back(), 0xFF);
    EXPECT_EQ(sent[128].data.back(), 0x80);
    EXPECT_EQ(sent[130].data.back(), 0x02);
}

TEST(UEIBytes, StopsAtFirstErrorAndRefusesBadArguments) {
    std::vector<uint8_t> payload(60, 1);
    int calls = 0;
    aErr err = aUEI_BuildBytesPackets(2, 3, 4, 5, payload.data(), payload.size(), [&](aPacket*) {
        return ++calls == 2 ? aErrTimeout : aErrNone;
    });
    EXPECT_EQ(err, aErrTimeout);
    EXPECT_EQ(calls, 2);

    auto sink = [](aPacket*) { return aErrNone; };
    EXPECT_EQ(aUEI_BuildBytesPackets(2, 3, 4, 5, nullptr, 1, sink), aErrParam);
    EXPECT_EQ(aUEI_BuildBytesPackets(2, 3, 4, 5, nullptr, 0, sink), aErrNone);
    EXPECT_EQ(aUEI_BuildBytesPackets(2, 3, 4, 5, payload.data(), 1, nullptr), aErrParam);
}

}  // namespace
