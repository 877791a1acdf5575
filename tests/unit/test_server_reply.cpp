// Update server reply parsing, base64 and the build-list order, fed with
// well-formed and hostile bodies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Base64.h"
#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"

using namespace ServerReply;

TEST(ServerReply, LinesAndAcceptance) {
    EXPECT_EQ(Lines("ok\n\n\n1234\n"), (std::vector<std::string>{"ok", "1234"}));
    EXPECT_TRUE(Lines("").empty());
    struct Case {
        const char* body;
        bool ok;
    } cases[] = {{"ok\n", true}, {"okay\n", true}, {"ok", true}, {"OK\n", false}, {"o\n", false},
                 {"", false},    {"\n\nok\n", true}, {"error: nope\n", false}};
    for (const auto& c : cases) EXPECT_EQ(IsOk(Lines(c.body)), c.ok) << c.body;
}

TEST(ServerReply, QueryBuildKeepsOutputsWhenLinesAreMissing) {
    std::string build = "old", firmware = "oldfw";
    QueryBuild(Lines("ok\n"), build, firmware);
    EXPECT_EQ(build, "old");
    EXPECT_EQ(firmware, "oldfw");
    QueryBuild(Lines("ok\r\n1234\r\nzvfw-1234\r\n"), build, firmware);
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(firmware, "zvfw-1234");
    QueryBuild(Lines("ok\n99\n"), build, firmware);
    EXPECT_EQ(build, "99");
    EXPECT_EQ(firmware, "zvfw-1234");
}

TEST(ServerReply, BuildListEntries) {
    std::map<std::string, std::string> builds;
    BuildList(Lines("ok\n1234;2.12.5\n12\n1240\n1234;9.9.9\n1300;2.13.0\r\n;;;\n"), builds);
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1234", "2.12.5"}, {"1240", ""}, {"1300", "2.13.0"}}));
}

TEST(ServerReply, RecoveryInfoNumberSyntax) {
    struct Case {
        const char* body;
        uint32_t serial, build;
    } cases[] = {
        {"ok\n40F5849A\n0x10\n", 0x40F5849A, 16},
        {"ok\n40f5849a\n010\n", 0x40F5849A, 8},
        {"ok\n1\n77\n", 1, 77},
        {"ok\nzz\nzz\n", 0, 0},                       // not numbers
        {"ok\nFFFFFFFFF\n99999999999\n", 0, 0},       // wider than 32 bits
    };
    for (const auto& c : cases) {
        uint32_t serial = 5, build = 5;
        RecoveryInfo(Lines(c.body), serial, build);
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
    uint32_t serial = 5, build = 6;
    RecoveryInfo(Lines("ok\n"), serial, build);
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(build, 6u);
}

TEST(ServerReply, DeviceTokenShape) {
    struct Case {
        const char* body;
        const char* token;  // null: refused
    } cases[] = {
        {"ok\naa.bb.cc\n", "aa.bb.cc"},
        {"ok\nhead.pay.sig\r\n", "head.pay.sig"},
        {"ok\naa.bb.c\n", nullptr},  // one-character signature
        {"ok\na.bb.cc\n", nullptr},
        {"ok\naabbcc\n", nullptr},
        {"ok\naa.bbcc\n", nullptr},
        {"ok\nab\n", nullptr},
        {"ok\n", nullptr},
    };
    for (const auto& c : cases) {
        std::string token = "unchanged";
        bool ok = DeviceJWT(Lines(c.body), token);
        EXPECT_EQ(ok, c.token != nullptr) << c.body;
        if (c.token) {
            EXPECT_EQ(token, c.token);
        }
    }
}

TEST(Base64, DecodeAcceptsOnlyTheAlphabet) {
    struct Case {
        const char* text;
        const char* decoded;  // null: refused
    } cases[] = {
        {"", ""},          {"TWFu", "Man"},   {"TWE=", "Ma"},     {"TQ==", "M"},
        {"TWFuTQ==", "ManM"},
        {"TWFuT", nullptr},   // not a multiple of 4
        {"TW!u", nullptr},    // outside the alphabet
        {"TW u", nullptr},
        {"T=Fu", nullptr},    // fill in the middle
        {"TQ=a", nullptr},
        {"====", nullptr},
        {"TQ==TWFu", nullptr},  // fill before the last group
    };
    for (const auto& c : cases) {
        unsigned long length = 12345;
        unsigned char* out = base64_decode(c.text, strlen(c.text), &length);
        if (!c.decoded) {
            EXPECT_EQ(out, nullptr) << c.text;
            continue;
        }
        ASSERT_NE(out, nullptr) << c.text;
        EXPECT_EQ(length, strlen(c.decoded));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.decoded);
        EXPECT_EQ(out[length], 0);
        free(out);
    }
}

TEST(Base64, RoundTripEveryLengthAndByte) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7));
    for (size_t n = 0; n < data.size(); n += 1 + n / 8) {
        unsigned long encodedLength = 0, decodedLength = 0;
        char* text = base64_encode(data.data(), n, &encodedLength);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(encodedLength, (n + 2) / 3 * 4);
        EXPECT_EQ(strlen(text), encodedLength);
        unsigned char* back = base64_decode(text, encodedLength, &decodedLength);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(back), decodedLength), data.substr(0, n));
        free(text);
        free(back);
    }
}

TEST(BuildSort, NewestFirstAndUnversionedLast) {
    UpdateServerRequest::BuildMap builds = {
        {"1", "2.12.5"}, {"2", "2.9.0"}, {"3", "2.12.10"}, {"4", ""}, {"5", "x.1.2"}, {"6", "3.0.0"}, {"7", "2.12"},
    };
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    std::vector<std::string> order;
    for (const auto& [build, version] : sorted) order.push_back(build);
    EXPECT_EQ(order, (std::vector<std::string>{"6", "3", "1", "2", "4", "5", "7"}));
    EXPECT_EQ(UpdateServerRequest::SplitZentroviaVersion("2.12.5"), (std::vector<std::string>{"2", "12", "5"}));
    EXPECT_TRUE(UpdateServerRequest::SplitZentroviaVersion("2.12").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitZentroviaVersion("1.2.3.4").empty());
}
