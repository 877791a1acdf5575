// What the update engine reports to the user: messages, a progress bar and a
// spinner. The console front end implements it; tests may record it.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { Info = 0, Error = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats and routes to error_message (Error) or info_message (any other
    // level); silent while muted. Text beyond 2047 characters is cut.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted_ = mute; }
    bool muted() const { return muted_; }

protected:
    UpdaterDisplayInterface() = default;
    ~UpdaterDisplayInterface() = default;

private:
    bool muted_ = false;
};
