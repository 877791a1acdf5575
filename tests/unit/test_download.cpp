// Download_Firmware's refusals that must happen before any server contact.
#include <gtest/gtest.h>

#include "Updater.h"
#include "recording_display.h"
#include "tempdir.h"

using testsupport::RecordingDisplay;
using testsupport::TempDir;

TEST(Download, RefusesBadInputWithoutContactingTheServer) {
    struct Case {
        unsigned serial;
        const char* build;
        const char* message;
    } cases[] = {
        {0x40F5849A, "abc", "Build number 'abc' must be an number"},
        {0x40F5849A, "99999999999", "Build number '99999999999' must be an number"},
        {0x40F5849A, "-5", "Build number '-5' must be an number"},
        {0, "12", "Serial Number must be non-zero"},
        {0, "", "Serial Number must be non-zero"},
    };
    for (const auto& c : cases) {
        TempDir store;
        RecordingDisplay display;
        // Nothing listens there; a request would add its own message.
        Updater updater("http://127.0.0.1:9/cgi/u", store.path().c_str(), display);
        EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u) << c.build;
        EXPECT_EQ(display.errors, std::vector<std::string>{c.message}) << c.build;
        EXPECT_EQ(display.spins, 0);
    }
}
