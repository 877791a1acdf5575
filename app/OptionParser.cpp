#include "OptionParser.h"

namespace {

size_t leadingHyphens(const std::string& s) {
    size_t n = 0;
    while (n < s.size() && s[n] == '-') ++n;
    return n;
}

}  // namespace

OptionParser::OptionParser(const std::vector<OptionSpec>& table, int argc, char** argv)
    : table_(table), argc_(argc), argv_(argv) {}

const OptionSpec* OptionParser::match(const std::string& name, bool& ambiguous) const {
    ambiguous = false;
    for (const auto& option : table_)
        if (name == option.text) return &option;

    size_t hyphens = leadingHyphens(name);
    if (hyphens == 0 || name.size() == hyphens) return nullptr;
    const OptionSpec* found = nullptr;
    for (const auto& option : table_) {
        std::string text = option.text;
        if (leadingHyphens(text) != hyphens) continue;
        if (text.size() > name.size() && text.compare(0, name.size(), name) == 0) {
            if (found) {
                ambiguous = true;
                return nullptr;
            }
            found = &option;
        }
    }
    return found;
}

bool OptionParser::next(ParsedWord& out) {
    if (index_ >= argc_) return false;
    out = ParsedWord{};
    out.word = argv_[index_++] ? argv_[index_ - 1] : "";
    if (out.word.empty() || out.word[0] != '-') {
        out.kind = ParsedWord::NotAnOption;
        return true;
    }

    std::string name = out.word;
    bool hasInlineArgument = false;
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
        out.argument = name.substr(equals + 1);
        name.resize(equals);
        hasInlineArgument = true;
    }

    bool ambiguous = false;
    out.option = match(name, ambiguous);
    if (!out.option) {
        out.kind = ambiguous ? ParsedWord::Ambiguous : ParsedWord::Unrecognised;
        return true;
    }
    out.kind = ParsedWord::Option;
    if (!out.option->takesArgument) {
        if (hasInlineArgument) out.kind = ParsedWord::BadArgument;
        return true;
    }
    if (hasInlineArgument) return true;
    // The next word is the argument unless it is missing or looks like an option;
    // then it stays to be parsed on its own.
    if (index_ >= argc_ || !argv_[index_] || argv_[index_][0] == '-') {
        out.kind = ParsedWord::BadArgument;
        return true;
    }
    out.argument = argv_[index_++];
    return true;
}
