// The real Updater binary against its command line: usage texts byte for
// byte, option errors, command order and exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

std::string golden(const std::string& name) {
    return readFile(std::string(SOURCE_DIR) + "/tests/e2e/golden/usage_" + name + ".txt");
}

struct Cli {
    TempDir home;
    // Unless a test chooses its own, the store goes to the temporary home: the
    // program takes the real user's home from the user database, not HOME.
    RunResult run(std::vector<std::string> args, bool terminal = false) {
        if (std::find(args.begin(), args.end(), "-i") == args.end())
            args.insert(args.begin(), {"-i", home.path()});
        args.insert(args.begin(), UPDATER_BIN);
        testsupport::RunOptions options;
        options.env = {{"HOME", home.path()}};
        options.ptyStdout = terminal;
        options.timeoutSeconds = 20;
        return testsupport::run(args, options);
    }
};

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

const std::string kVersionPrefix = "Updater (Version: 2.12.5 ";

}  // namespace

TEST(CliUsage, TextsMatchByteForByte) {
    Cli cli;
    const std::string shortText = golden("short");
    const std::string full = shortText + golden("parameters") + golden("samples");
    const std::string extended = shortText + golden("parameters") + golden("extended") + golden("samples");
    struct Case {
        std::vector<std::string> args;
        std::string stderrText;
    } cases[] = {
        {{}, shortText},
        {{"-H"}, full},
        {{"-h"}, full},
        {{"--help"}, full},
        {{"--he"}, full},               // unique prefix of --help
        {{"-X", "1", "-H"}, extended},  // -X before help turns on the extended section
        {{"-H", "-X", "1"}, full},      // help ends parsing before -X is seen
        {{"-X=0x10", "--help"}, extended},
    };
    for (const auto& c : cases) {
        std::string label = testing::PrintToString(c.args);
        RunResult r = cli.run(c.args);
        EXPECT_EQ(r.status, 0) << label;
        EXPECT_EQ(r.err, c.stderrText) << label;
        // Version line, then the copyright line whose last year is the build year.
        ASSERT_EQ(r.out.rfind(kVersionPrefix, 0), 0u) << label << r.out;
        std::string version = firstLine(r.out);
        std::string year = version.substr(version.size() - 5, 4);
        std::string copyright = r.out.substr(version.size() + 1);
        EXPECT_EQ(copyright.front(), '(') << label;
        EXPECT_NE(copyright.find(year + " "), std::string::npos) << copyright;
        EXPECT_EQ(copyright.substr(copyright.size() - 2), ")\n") << label;
    }
}

TEST(CliUsage, VersionLineCarriesBuildDate) {
    Cli cli;
    RunResult r = cli.run({});
    std::string line = firstLine(r.out);
    // "Updater (Version: 2.12.5 Jul  6 2026)"
    ASSERT_EQ(line.size(), kVersionPrefix.size() + 11 + 1) << line;
    EXPECT_EQ(line.back(), ')');
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    EXPECT_NE(months.find(line.substr(kVersionPrefix.size(), 3)), std::string::npos) << line;
}

TEST(CliOptions, RejectedOptionsShowEveryMessageThenShortUsage) {
    Cli cli;
    const std::string shortText = golden("short");
    struct Case {
        std::vector<std::string> args;
        std::string messages;
    } cases[] = {
        {{"-Y"}, "Unhandled command: [-Y]\n"},
        {{"-U", "-d", "0x"}, "Invalid serial number obtained from argument []\n"},
        {{"-U", "-d", "XYZ"}, "Invalid serial number obtained from argument [XYZ]\n"},
        {{"-U", "-d", "0"}, "Invalid serial number obtained from argument [0]\n"},
        {{"-U", "-d", "123456789"}, "Invalid serial number obtained from argument [123456789]\n"},
        {{"-D", "-r", "0xZZ"}, "Invalid router serial number obtained from argument [ZZ]\n"},
        {{"-D", "-t", "usb"}, "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-D", "-t", "US"}, "Invalid transport type:[US]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-B", "--http", "--https"},
         "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
        {{"-B", "-u", "http://a/cgi/u", "--https"},
         "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
        // All messages are shown, not only the first.
        {{"-Y", "-d", "XYZ", "-t", "bogus"},
         "Unhandled command: [-Y]\nInvalid serial number obtained from argument [XYZ]\n"
         "Invalid transport type:[bogus]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
    };
    for (const auto& c : cases) {
        std::string label = testing::PrintToString(c.args);
        RunResult r = cli.run(c.args);
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.err, c.messages + shortText) << label;
        EXPECT_EQ(r.out.rfind(kVersionPrefix, 0), 0u) << label;
    }
}

TEST(CliOptions, ParserErrorsAreSkippedSilently) {
    Cli cli;
    // Each of these parses cleanly apart from silently ignored words, so the
    // run reaches the command checks: "-U" without a device.
    const std::vector<std::vector<std::string>> cases = {
        {"-U", "-d"},               // missing argument at the end
        {"-U", "-d", "-X"},         // argument looks like an option: -X parsed alone, also missing
        {"-U", "--htt"},            // ambiguous prefix
        {"-U", "-help"},            // hyphens must match in number
        {"-U", "-DU"},              // no clumping
        {"-U", "-D=1"},             // argument given to an option without one
        {"-U", "stray", "words"},   // not options
        {"-U", "-q"},               // unknown
    };
    for (const auto& args : cases) {
        std::string label = testing::PrintToString(args);
        RunResult r = cli.run(args);
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.err, "Must specify the specific device to be updated\n") << label;
    }
}

TEST(CliOptions, AcceptedFormsReachTheirCommand) {
    Cli cli;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string stdoutNeedle;
        std::string stderrNeedle;
    } cases[] = {
        // Serial with and without prefix, and the "=" form, select the same device.
        {{"-G", "-d", "0x40f5849a"}, 1, "Retrieving firmware for device with serial number 40F5849A", ""},
        {{"-G", "-d", "40F5849A"}, 1, "Retrieving firmware for device with serial number 40F5849A", ""},
        {{"-G", "-d=40F5849A", "-b", "77"}, 1, "Retrieving firmware build 77", ""},
        {{"-G", "-d", "40F5849A", "-b", "12x"}, 1, "Retrieving firmware build 0", ""},
        {{"-G", "-d", "40F5849A"}, 1, "No build specified\nUsing Latest build", ""},
        // Transport names match on their first characters.
        {{"-D", "-t", "TCPIP"}, 0, "Discovered Devices: (TCPIP)\n    No devices found.", ""},
        {{"-D", "-t", "USB3"}, 0, "Discovered Devices: (USB)", ""},
        {{"-D"}, 0, "Searching for Zentrovia devices\nDiscovered Devices: (USB)", ""},
        {{"-D", "-r", "D272031D"}, 0, "Searching for Zentrovia Network devices connected to D272031D", ""},
        {{"-B", "-u", "http://127.0.0.1:1/cgi/u"}, 1, "", "Error must supply a serial number for the List Builds command"},
        {{"-L"}, 1, "", "Error must supply a serial number for the List Local Builds command"},
        {{"-J"}, 1, "", "Error must supply a serial number for the Get JWT command"},
        {{"-OV", "-U", "-d", "1", "-u", "http://127.0.0.1:9/cgi/u"}, 1, "", "Could not find valid build for this device."},
        {{"-N"}, 1, "", "Must specify the serial port used for connecting"},
        // -G is checked before discovery runs.
        {{"-D", "-G"}, 1, "", "-G must specify a specific device via -d\n--help for usage information\n"},
        // Recovery runs without -d.
        {{"-U", "-t", "RECOVER", "-s", "/dev/null"}, 1, "", "Firmware recovery is not available"},
    };
    for (const auto& c : cases) {
        std::string label = testing::PrintToString(c.args);
        RunResult r = cli.run(c.args);
        EXPECT_EQ(r.status, c.status) << label << r.err;
        EXPECT_NE(r.out.find(c.stdoutNeedle), std::string::npos) << label << "\n" << r.out;
        EXPECT_NE(r.err.find(c.stderrNeedle), std::string::npos) << label << "\n" << r.err;
    }
}

TEST(CliStore, CommandWithoutOperationPreparesStoreAndExitsZero) {
    Cli cli;
    RunResult r = cli.run({"-I", "-i", cli.home.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, firstLine(r.out) + "\n");
    struct stat st {};
    ASSERT_EQ(stat((cli.home.path() + "/updater").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    TempDir other;
    r = cli.run({"-Z", "x", "-i", other.path() + "/a/b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(stat((other.path() + "/a/b/updater").c_str(), &st), 0);
}

TEST(CliStore, UncreatableStoreIsReported) {
    Cli cli;
    testsupport::writeFile(cli.home.file("blocker"), "x");
    RunResult r = cli.run({"-I", "-i", cli.home.file("blocker")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not find updater directory at " + cli.home.file("blocker") + "/updater\n");
}

TEST(CliLog, MaskSelectsDebugLines) {
    Cli cli;
    // -Z is a command without an operation, so nothing but the log speaks
    // (-I -d now shows the device's stored information).
    RunResult quiet = cli.run({"-Z", "x", "-d", "0x1"});
    EXPECT_EQ(quiet.err, "");
    RunResult r = cli.run({"-X", "0x10001", "-Z", "x", "-d", "0x1"});
    EXPECT_NE(r.err.find("\nApplication parameters:[Updater]\n\t[-i]\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Discarding '0x' serial number prefix\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\t[-X]\n\t[0x10001]\n\t[-Z]\n\t[x]\n"), std::string::npos)
        << r.err;
    // A malformed mask is reported but is not an error of the command line.
    r = cli.run({"-X", "12ab", "-I"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [ab]\n");
}
