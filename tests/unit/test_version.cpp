// Version words, the library version and model names.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "aDefs.h"
#include "aVersion.h"

namespace {

TEST(VersionTest, PackLayouts) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t word;
        bool legacy;
    } cases[] = {
        {0, 0, 0, 0x00000000, true},      {1, 2, 3, 0x12000003, true},
        {2, 14, 7, 0x2E000007, true},     {2, 15, 0, 0x2F020F00, false},
        {3, 0, 0, 0x2F030000, false},     {2, 255, 255, 0x2F02FFFF, false},
        {255, 1, 200, 0x2FFF01C8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
        const uint32_t word = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(aVersion_IsLegacyFormat(word), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(word), c.major);
        EXPECT_EQ(aVersion_ParseMinor(word), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(word), c.patch);
    }
}

TEST(VersionTest, CurrentLayoutRoundTripsEverything) {
    for (unsigned major = 2; major < 256; ++major) {
        for (unsigned minor = 0; minor < 256; minor += 3) {
            if (major == 2 && minor < 15) continue;
            const uint8_t patch = static_cast<uint8_t>(major ^ minor);
            const uint32_t w = aVersion_Pack(major, minor, patch);
            ASSERT_EQ(w >> 24, 0x2Fu);
            ASSERT_FALSE(aVersion_IsLegacyFormat(w));
            ASSERT_EQ(aVersion_ParseMajor(w), major);
            ASSERT_EQ(aVersion_ParseMinor(w), minor);
            ASSERT_EQ(aVersion_ParsePatch(w), patch);
        }
    }
}

TEST(VersionTest, ReadingWords) {
    struct Case {
        uint32_t word;
        bool legacy;
        unsigned major, minor, patch;
        const char* text;
    } cases[] = {
        {0x00000000, true, 0, 0, 0, "0.0.0"},
        {0x1A123456, true, 1, 10, 0x123456, "1.10.1193046"},  // 24-bit legacy patch
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
        {0x2F0A0B0C, false, 10, 11, 12, "10.11.12"},
        {0x30010203, false, 1, 2, 3, "1.2.3"},  // top nibble 3 reads as current
        {0xFFFFFFFF, false, 255, 255, 255, "255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.word), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch);
        char buf[32];
        EXPECT_EQ(aVersion_ParseString(c.word, buf, sizeof buf),
                  static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(VersionTest, ParseStringTruncatesLikeSnprintf) {
    char buf[5];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 100), buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "2.15");
}

TEST(VersionTest, LibraryVersion) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 5);
    const char* text = aVersion_GetString();
    EXPECT_STREQ(text, "2.12.5");
    EXPECT_EQ(aVersion_GetString(), text) << "built once and reused";
}

TEST(VersionTest, IsAtLeastCompare) {
    struct Case {
        uint8_t hM, hm, hp, nM, nm, np;
        bool atLeast;
    } cases[] = {
        {2, 10, 4, 2, 10, 4, true},           {2, 10, 3, 2, 10, 4, false},
        {3, 0, 0, 2, 255, 255, true},         {2, 9, 255, 2, 10, 0, false},
        {2, 11, 0, 2, 10, 255, true},         {1, 255, 255, 2, 0, 0, false},
        {255, 255, 255, 255, 255, 255, true}, {0, 0, 0, 0, 0, 1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.hM, c.hm, c.hp, c.nM, c.nm, c.np), c.atLeast)
            << int(c.hM) << "." << int(c.hm) << "." << int(c.hp) << " vs " << int(c.nM) << "."
            << int(c.nm) << "." << int(c.np);
    }
    // A legacy word's wide patch is compared by its low 8 bits: 260 counts as 4.
    const uint32_t widePatch = aVersion_ParsePatch(0x1A000104);
    ASSERT_EQ(widePatch, 260u);
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 10, widePatch, 2, 10, 4));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 10, widePatch, 2, 10, 5));
}

TEST(VersionTest, IsAtLeastAgainstLibrary) {
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 5));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 255));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 6));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(VersionTest, Features) {
    EXPECT_EQ(NUM_FEATS, 1);
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    for (const char* name : {"version", "VERSIO", "VERSION ", ""}) {
        EXPECT_FALSE(aVersion_HasFeature(name)) << '"' << name << '"';
    }
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
}

TEST(ModelName, TableAndFallback) {
    std::set<std::string> names;
    int known = 0;
    for (uint32_t code = 0; code < 64; ++code) {
        const std::string name = aDefs_GetModelName(code);
        if (name == "Unknown") continue;
        ++known;
        EXPECT_GE(code, 4u);
        EXPECT_LE(code, 27u);
        EXPECT_LE(name.size(), 12u) << code;
        EXPECT_TRUE(names.insert(name).second) << "duplicate name " << name;
    }
    EXPECT_EQ(known, 17);
    for (uint32_t code : {0u, 3u, 28u, 255u, 0x100u + aMODEL_ROUTER, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
    }
    EXPECT_STREQ(aDefs_GetModelName(aMODEL_ROUTER), "ZV-Router");
}

}  // namespace
