#include "Parameters.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Log.h"
#include "OptionParser.h"
#include "UpdateServerHost.h"
#include "aDirectory.h"

namespace {

enum OptionId { kHelp = 0, kCommand = 1, kParameter = 2, kHttps = 3, kHttp = 4 };

const std::vector<OptionSpec>& optionTable() {
    static const std::vector<OptionSpec> table = {
        {kCommand, "-B", false},  {kCommand, "-L", false}, {kCommand, "-D", false},
        {kCommand, "-G", false},  {kCommand, "-I", false}, {kCommand, "-U", false},
        {kCommand, "-OVERRIDE", false}, {kCommand, "-N", false}, {kCommand, "-Y", false},
        {kCommand, "-C", false},  {kCommand, "-J", false},
        {kHelp, "-h", false},     {kHelp, "-H", false},
        {kParameter, "-n", false},
        {kParameter, "-X", true}, {kParameter, "-Z", true}, {kParameter, "-m", true},
        {kParameter, "-i", true}, {kParameter, "-b", true}, {kParameter, "-d", true},
        {kParameter, "-t", true}, {kParameter, "-f", true}, {kParameter, "-r", true},
        {kParameter, "-s", true}, {kParameter, "-o", true},
        {kParameter, "-e", false},
        {kParameter, "-l", true}, {kParameter, "-k", true}, {kParameter, "-u", true},
        {kParameter, "--cacert", true},
        {kHelp, "--help", false},
        {kHttp, "--http", false},
        {kHttps, "--https", false},
    };
    return table;
}

uint32_t convertWhole(const char* text, char** end, const char* digits, int base) {
    if (!end || !text) return 0;
    if (text[strspn(text, digits)] != '\0') return 0;
    if (*text == '\0') {
        *end = const_cast<char*>(text);
        return 0;
    }
    errno = 0;
    char* stop = nullptr;
    unsigned long long value = strtoull(text, &stop, base);
    // A value that does not fit is not silently wrapped into another number:
    // for a serial number that would select a different device.
    if (errno == ERANGE || value > 0xFFFFFFFFull) return 0;
    *end = stop;
    return static_cast<uint32_t>(value);
}

// Drops a leading "0x"/"0X" from a serial number text, as users often type it.
const char* withoutHexPrefix(const char* text, const char* debugLine) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", debugLine);
        return text + 2;
    }
    return text;
}

bool parseSerial(CLI_Display& display, const char* text, const char* debugLine,
                 const char* invalidMessage, uint32_t& serial) {
    const char* digits = withoutHexPrefix(text, debugLine);
    char* end = nullptr;
    serial = _get_hex_arg(digits, &end);
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::Error, invalidMessage, digits);
        return false;
    }
    return true;
}

void parseLogMask(CLI_Display& display, const std::string& text, Parameters* params) {
    params->logMaskGiven = true;
    const char* start = text.c_str();
    int base = 10;
    if (start[0] == '0' && (start[1] == 'x' || start[1] == 'X')) {
        base = 16;
        start += 2;
    }
    const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
    size_t length = strspn(start, digits);
    uint32_t value = length ? static_cast<uint32_t>(strtoull(start, nullptr, base)) : 0;
    if (start[length] != '\0') {
        display.message(UpdaterDisplayInterface::Error,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        start + length);
        return;
    }
    params->logMask = value;
    Log::ActivatePackage(value);
}

uint32_t parseTransport(const std::string& name) {
    if (name.compare(0, 3, "USB") == 0 && name.size() >= 3) return kTransportUSB;
    if (name.compare(0, 3, "TCP") == 0 && name.size() >= 3) return kTransportTCPIP;
    if (name.compare(0, 7, "RECOVER") == 0 && name.size() >= 7) return kTransportRecover;
    return kTransportRejected;
}

void setDefaults(int argc, char** argv, Parameters* params) {
    *params = Parameters{};
    params->transport = kTransportUSB;
    params->baudRate = 115200;
    params->serverUrl = UPDATE_SERVER_HTTP_URL;
    params->logFileMode = "a+";
    params->logFileName = "Updater.log";
    params->ueiBytes = true;
    const char* name = argc > 0 && argv[0] ? argv[0] : "Updater";
    const char* slash = strrchr(name, '/');
    const char* backslash = strrchr(name, '\\');
    if (backslash && (!slash || backslash > slash)) slash = backslash;
    params->programName = slash ? slash + 1 : name;
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) params->homeDirectory = home;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
    return convertWhole(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) { return convertWhole(text, end, "0123456789", 10); }

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters*) { return 0; }

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
    using Level = UpdaterDisplayInterface::Level;
    setDefaults(argc, argv, params);
    int result = 0;
    int urlChoices = 0;

    OptionParser parser(optionTable(), argc, argv);
    ParsedWord word;
    while (parser.next(word)) {
        // Parser errors and stray words are skipped without a message.
        if (word.kind != ParsedWord::Option) continue;
        const std::string text = word.option->text;
        const std::string& arg = word.argument;
        char* end = nullptr;
        switch (word.option->id) {
            case kHelp:
                params->commands.Set(CMD_HELP);
                params->helpRequested = true;
                return 0;
            case kHttp:
                params->serverUrl = UPDATE_SERVER_HTTP_URL;
                ++urlChoices;
                continue;
            case kHttps:
                params->serverUrl = UPDATE_SERVER_HTTPS_URL;
                ++urlChoices;
                continue;
            default:
                break;
        }
        if (text == "-B") params->commands.Set(CMD_LIST_BUILDS);
        else if (text == "-L") params->commands.Set(CMD_LIST_LOCAL);
        else if (text == "-D") params->commands.Set(CMD_DISCOVER);
        else if (text == "-G") params->commands.Set(CMD_GET_BUILD);
        else if (text == "-I") params->commands.Set(CMD_INFO);
        else if (text == "-U") params->commands.Set(CMD_UPDATE);
        else if (text == "-N") params->commands.Set(CMD_FINGERPRINT);
        else if (text == "-C") params->commands.Set(CMD_CHECK);
        else if (text == "-J") params->commands.Set(CMD_GET_JWT);
        else if (text == "-OVERRIDE") params->modelOverride = true;
        else if (text == "-Y") {
            display.message(Level::Error, "Unhandled command: [%s]", "-Y");
            result = 1;
        } else if (text == "-Z") params->commands.Set(CMD_Z);
        else if (text == "-X") parseLogMask(display, arg, params);
        else if (text == "-m") params->ueiBytes = arg.rfind("1", 0) == 0 || arg.rfind("true", 0) == 0;
        else if (text == "-i") params->storeBase = arg;
        else if (text == "-b") params->build = std::to_string(_get_int_arg(arg.c_str(), &end));
        else if (text == "-d") {
            if (!parseSerial(display, arg.c_str(), "Discarding '0x' serial number prefix\n",
                             "Invalid serial number obtained from argument [%s]", params->deviceSerial))
                result = 1;
        } else if (text == "-r") {
            if (!parseSerial(display, arg.c_str(), "Discarding '0x' router serial number prefix\n",
                             "Invalid router serial number obtained from argument [%s]",
                             params->routerSerial))
                result = 1;
        } else if (text == "-t") {
            params->transportGiven = true;
            params->transport = parseTransport(arg);
            if (params->transport == kTransportRejected) {
                display.message(Level::Error,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                                arg.c_str());
                result = 1;
            }
        } else if (text == "-f") params->birdFile = arg;
        else if (text == "-s") params->serialPort = arg;
        else if (text == "-o") params->baudRate = _get_int_arg(arg.c_str(), &end);
        else if (text == "-e") params->echo = true;
        else if (text == "-n") params->flagN = true;
        else if (text == "-l") params->historyMessage = arg;
        else if (text == "-k") params->logFileName = arg;
        else if (text == "--cacert") {
            if (access(arg.c_str(), R_OK) != 0) {
                display.message(Level::Error, "Cannot read the certificate authority file [%s]", arg.c_str());
                result = 1;
            } else {
                params->caCertFile = arg;
            }
        } else if (text == "-u") {
            params->serverUrl = arg;
            ++urlChoices;
        }
    }

    if (urlChoices > 1) {
        display.message(Level::Error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
        result = 1;
    }
    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->programName.c_str());
    for (int i = 1; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
    if (result == 0) result = _validate_params(params);
    return result;
}
