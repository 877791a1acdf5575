// A display that records what the engine shows, for tests that call Updater
// operations directly.
#pragma once

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace testsupport {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool show) override { progress.push_back(show ? "show" : "hide"); }
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool active, const char*) override { spins += active ? 1 : 0; }
    void info_message(const char* text) override { infos.emplace_back(text); }
    void error_message(const char* text) override { errors.emplace_back(text); }

    std::vector<std::string> infos, errors, progress;
    std::vector<double> fractions;
    int spins = 0;
};

}  // namespace testsupport
