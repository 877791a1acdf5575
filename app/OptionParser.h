// Command-line word matcher: exact option text, or the one option a proper
// prefix selects (ties rejected), "=" arguments, no clumping.
#pragma once

#include <string>
#include <vector>

struct OptionSpec {
    int id;
    const char* text;
    bool takesArgument;
};

struct ParsedWord {
    enum Kind {
        Option,        // a recognised option, with its argument when it takes one
        NotAnOption,   // a word that does not begin with "-"
        Unrecognised,  // matches no option text
        Ambiguous,     // a prefix of more than one option text
        BadArgument,   // "=" given to an option without argument, or a missing argument
    };
    Kind kind = NotAnOption;
    const OptionSpec* option = nullptr;
    std::string argument;
    std::string word;
};

class OptionParser {
public:
    OptionParser(const std::vector<OptionSpec>& table, int argc, char** argv);

    // Parses the next word (with its argument word, if taken); false at the end.
    bool next(ParsedWord& out);

    // Which option a bare option text selects, or null; sets `ambiguous` on a tie.
    const OptionSpec* match(const std::string& name, bool& ambiguous) const;

private:
    const std::vector<OptionSpec>& table_;
    int argc_;
    char** argv_;
    int index_ = 1;
};
