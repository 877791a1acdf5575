// Option word matching and whole-text number conversion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OptionParser.h"
#include "Parameters.h"

namespace {

const std::vector<OptionSpec> kTable = {
    {1, "-D", false}, {1, "-OVERRIDE", false}, {0, "-H", false}, {2, "-d", true},
    {2, "-X", true},  {0, "--help", false},    {4, "--http", false}, {3, "--https", false},
};

std::vector<ParsedWord> parseAll(std::vector<std::string> words) {
    words.insert(words.begin(), "prog");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    OptionParser parser(kTable, static_cast<int>(argv.size()), argv.data());
    std::vector<ParsedWord> out;
    ParsedWord w;
    while (parser.next(w)) out.push_back(w);
    return out;
}

}  // namespace

TEST(OptionMatch, ExactPrefixTieAndHyphenRules) {
    struct Case {
        const char* word;
        const char* selects;  // null: no option
        bool ambiguous;
    } cases[] = {
        {"-D", "-D", false},        {"-d", "-d", false},          // case-sensitive
        {"-OV", "-OVERRIDE", false}, {"-O", "-OVERRIDE", false},
        {"--http", "--http", false}, {"--https", "--https", false}, {"--htt", nullptr, true},
        {"--h", nullptr, true},      {"--he", "--help", false},   {"-help", nullptr, false},
        {"-", nullptr, false},       {"--", nullptr, false},      {"-DU", nullptr, false},
        {"-OVERRIDEX", nullptr, false},
    };
    std::vector<char*> none;
    OptionParser parser(kTable, 0, none.data());
    for (const auto& c : cases) {
        bool ambiguous = false;
        const OptionSpec* found = parser.match(c.word, ambiguous);
        EXPECT_EQ(found ? std::string(found->text) : std::string("(none)"),
                  c.selects ? std::string(c.selects) : std::string("(none)"))
            << c.word;
        EXPECT_EQ(ambiguous, c.ambiguous) << c.word;
    }
}

TEST(OptionMatch, ArgumentsInlineNextWordAndMissing) {
    auto words = parseAll({"-d=12", "-d", "34", "-X", "-D", "-D=1", "loose", "-d"});
    ASSERT_EQ(words.size(), 7u);
    EXPECT_EQ(words[0].kind, ParsedWord::Option);
    EXPECT_EQ(words[0].argument, "12");
    EXPECT_EQ(words[1].argument, "34");
    EXPECT_EQ(words[2].kind, ParsedWord::BadArgument);  // -X followed by an option
    EXPECT_EQ(words[3].kind, ParsedWord::Option);       // ... which is parsed on its own
    EXPECT_STREQ(words[3].option->text, "-D");
    EXPECT_EQ(words[4].kind, ParsedWord::BadArgument);  // "=" on an option without argument
    EXPECT_EQ(words[5].kind, ParsedWord::NotAnOption);
    EXPECT_EQ(words[6].kind, ParsedWord::BadArgument);  // missing at the end
    // "=" with an empty argument is still an argument.
    auto empty = parseAll({"-d="});
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].kind, ParsedWord::Option);
    EXPECT_EQ(empty[0].argument, "");
}

TEST(NumberArguments, WholeTextConversion) {
    struct Case {
        const char* text;
        uint32_t hex;
        uint32_t dec;
        bool hexEndSet;
    } cases[] = {
        {"40F5849A", 0x40F5849A, 0, true},
        {"40f5849a", 0x40F5849A, 0, true},
        {"123", 0x123, 123, true},
        {"", 0, 0, true},
        {"12x", 0, 0, false},
        {" 12", 0, 0, false},
        {"-1", 0, 0, false},
        {"FFFFFFFF", 0xFFFFFFFF, 0, true},
        {"100000000", 0, 100000000, false},  // wider than 32 bits is refused, not wrapped
        {"4294967295", 0, 4294967295u, false},
    };
    for (const auto& c : cases) {
        char* end = nullptr;
        EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << c.text;
        EXPECT_EQ(end != nullptr, c.hexEndSet) << c.text;
        end = nullptr;
        EXPECT_EQ(_get_int_arg(c.text, &end), c.dec) << c.text;
    }
    EXPECT_EQ(_get_int_arg("4294967296", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("42", nullptr), 0u);  // no end pointer: nothing converted
}
