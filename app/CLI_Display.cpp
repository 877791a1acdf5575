#include "CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// One spinner position for the whole process, so successive displays continue it.
unsigned char spinnerFrame = 0;

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
const char kBar[] = "=====================================================================";
constexpr int kBarLength = sizeof kBar - 1;  // 69
// A label that would leave the bar narrower than this is cut to keep it.
constexpr int kMinimumBarWidth = 10;

bool drawing() { return isatty(STDOUT_FILENO) == 1; }

void clearLine() { fprintf(stdout, "\r%*s\r", 88, " "); }

}  // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!drawing() || show) return;
    clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!drawing()) return;
    if (!(fraction >= 0.0)) fraction = 0.0;  // also catches NaN
    if (fraction > 1.0) fraction = 1.0;
    int width = kBarLength;
    int labelLength = 0;
    if (label) {
        size_t length = strlen(label);
        int longest = kBarLength - 4 - kMinimumBarWidth;
        labelLength = length > static_cast<size_t>(longest) && kBarLength - 4 - static_cast<int>(length) <= 0
                          ? longest
                          : static_cast<int>(length);
        width = kBarLength - labelLength - 4;
    }
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100);
    if (label)
        fprintf(stdout, "\r (%.*s) [%.*s>%*s] (%3d%% ) ", labelLength, label, filled, kBar,
                width - filled - 1, "", percent);
    else
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!drawing()) return;
    if (!active) {
        clearLine();
        return;
    }
    const char* frame = kSpinnerFrames[spinnerFrame % 8];
    if (label)
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    else
        fprintf(stdout, "\r %s      \r", frame);
    spinnerFrame = static_cast<unsigned char>((spinnerFrame + 1) % 8);
}

void CLI_Display::info_message(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
