// Console display drawing on a terminal, and the debug log's category mask.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <string>

#include "CLI_Display.h"
#include "Log.h"

namespace {

// Points standard output at a pseudo-terminal for the life of the object and
// collects what was drawn.
class TerminalCapture {
public:
    TerminalCapture() {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        dup2(slave_, STDOUT_FILENO);
    }
    ~TerminalCapture() {
        restore();
        close(master_);
    }
    std::string take() {
        std::string out;
        char buf[4096];
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, 50) > 0) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        close(slave_);
        saved_ = -1;
    }

private:
    int master_ = -1, slave_ = -1, saved_ = -1;
};

const std::string kBar(69, '=');

}  // namespace

TEST(ConsoleDisplay, ProgressBarLayout) {
    CLI_Display display;
    TerminalCapture term;
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    } cases[] = {
        {1.0, nullptr, "\r[" + kBar + "> ] (100% ) "},
        {0.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {0.5, nullptr, "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) "},
        // Label of 5: width 60.
        {0.5, "Block", "\r (Block) [" + std::string(30, '=') + ">" + std::string(29, ' ') + "] ( 50% ) "},
        // Out-of-range fractions are held to the bar.
        {7.0, nullptr, "\r[" + kBar + "> ] (100% ) "},
        {-1.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
    };
    for (const auto& c : cases) {
        display.update_progress(c.fraction, c.label);
        EXPECT_EQ(term.take(), c.expected) << c.fraction << (c.label ? c.label : "");
    }
}

TEST(ConsoleDisplay, OverlongLabelKeepsBarInsideItsString) {
    CLI_Display display;
    TerminalCapture term;
    for (size_t length : {64u, 65u, 66u, 200u}) {
        std::string label(length, 'L');
        display.update_progress(1.0, label.c_str());
        std::string line = term.take();
        size_t open = line.find('[');
        size_t close = line.find(']');
        ASSERT_NE(open, std::string::npos);
        ASSERT_NE(close, std::string::npos);
        std::string bar = line.substr(open + 1, close - open - 1);
        EXPECT_LE(bar.size(), 70u) << length;
        EXPECT_EQ(bar.find_first_not_of("= >"), std::string::npos) << length;
        EXPECT_NE(bar.find('='), std::string::npos) << length;
    }
}

TEST(ConsoleDisplay, SpinnerFramesAndClear) {
    CLI_Display display;
    TerminalCapture term;
    display.update_spinner(false, nullptr);
    const std::string clear = "\r" + std::string(88, ' ') + "\r";
    EXPECT_EQ(term.take(), clear);
    // Find the current frame, then the next eight cycle through the shape.
    std::string frames;
    for (int i = 0; i < 16; ++i) {
        display.update_spinner(true, "Downloading");
        frames += term.take();
    }
    for (const char* f : {".", "..", "...", "....", "....."})
        EXPECT_NE(frames.find(std::string("\r (Downloading) ") + f + "      \r"), std::string::npos) << f;
    display.update_spinner(true, nullptr);
    EXPECT_EQ(term.take().rfind("\r .", 0), 0u);
    display.display_progress(true);
    EXPECT_EQ(term.take(), "");
    display.display_progress(false);
    EXPECT_EQ(term.take(), clear);
}

TEST(ConsoleDisplay, NothingDrawnWithoutTerminal) {
    // Under CTest standard output is a pipe or a file.
    if (isatty(STDOUT_FILENO)) GTEST_SKIP() << "standard output is a terminal";
    CLI_Display display;
    testing::internal::CaptureStdout();
    display.update_progress(0.5, "x");
    display.update_spinner(true, "x");
    display.display_progress(false);
    display.info_message("shown");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown\n");
}

TEST(ConsoleDisplay, MuteSilencesBothLevels) {
    CLI_Display display;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::Error, "hidden %d", 1);
    display.message(UpdaterDisplayInterface::Info, "hidden");
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::Error, "err %d", 2);
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "other levels are info");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "other levels are info\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "err 2\n");
    // Text is cut at 2047 characters.
    testing::internal::CaptureStdout();
    display.message(UpdaterDisplayInterface::Info, "%s", std::string(5000, 'a').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(2047, 'a') + "\n");
}

TEST(DebugLog, CategoryMask) {
    FILE* sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    Log::SetOutput(sink);
    Log::DeactivatePackage(~0u);
    Log::log(0, "always %d\n", 1);
    Log::log(0x400, "hidden\n");
    Log::ActivatePackage(0x100);
    Log::log(0x400, "still hidden\n");
    Log::log(0x500, "shared bit\n");
    Log::DeactivatePackage(0x100);
    Log::log(0x100, "off again\n");
    Log::log(0, "%s", std::string(3000, 'b').c_str());
    Log::SetOutput(nullptr);
    rewind(sink);
    char buffer[8192] = {0};
    size_t n = fread(buffer, 1, sizeof buffer - 1, sink);
    fclose(sink);
    EXPECT_EQ(std::string(buffer, n), "always 1\nshared bit\n" + std::string(2047, 'b'));
}
