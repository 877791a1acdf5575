// Console display: messages on standard output (info) and standard error
// (errors), a progress bar and a spinner drawn only on a terminal.
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    CLI_Display();
    virtual ~CLI_Display() = default;

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
