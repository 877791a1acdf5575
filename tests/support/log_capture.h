// Captures the updater's debug log of some categories while it lives.
#pragma once

#include <cstdio>
#include <string>

#include "Log.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(unsigned mask) : mask_(mask) {
        Log::SetOutput(file_);
        Log::ActivatePackage(mask_);
    }
    ~LogCapture() {
        Log::DeactivatePackage(mask_);
        Log::SetOutput(nullptr);
        if (file_) fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        if (!file_) return {};
        fflush(file_);
        rewind(file_);
        std::string out;
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }

private:
    FILE* file_ = tmpfile();
    unsigned mask_;
};

}  // namespace testsupport
