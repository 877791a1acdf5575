// The parsed command line and the functions that fill it.
#pragma once

#include <cstdint>
#include <string>

#include "CLI_Display.h"

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,     // -D
    CMD_UPDATE = 0x00000002,       // -U
    CMD_LIST_BUILDS = 0x00000004,  // -B
    CMD_GET_BUILD = 0x00000008,    // -G
    CMD_INFO = 0x00000010,         // -I
    CMD_CHECK = 0x00000020,        // -C
    CMD_FINGERPRINT = 0x00000040,  // -N
    CMD_Z = 0x00000080,            // -Z
    CMD_GET_JWT = 0x00000100,      // -J
    CMD_LIST_LOCAL = 0x00000200,   // -L
    CMD_HELP = 0x80000000,         // -h, -H, --help
};

// Bits that make a run "have a command".
constexpr uint32_t kCommandMask = 0x000307FF;

class CommandsClass {
public:
    void Set(COMMANDS command) { mask_ |= command; }
    bool IsSet(COMMANDS command) const { return (mask_ & command) != 0; }
    bool HasCommand() const { return (mask_ & kCommandMask) != 0; }
    uint32_t mask() const { return mask_; }

private:
    uint32_t mask_ = 0;
};

// Transport values of -t; 0 marks a rejected name.
enum : uint32_t {
    kTransportRejected = 0,
    kTransportUSB = 1,
    kTransportTCPIP = 2,
    kTransportRecover = 255,
};

struct Parameters {
    CommandsClass commands;
    uint32_t deviceSerial = 0;
    uint32_t routerSerial = 0;
    uint32_t transport = 0;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 0;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string build;
    bool echo = false;
    std::string serverUrl;
    std::string caCertFile;  // extra authority for HTTPS (--cacert)
    bool flagN = false;
    std::string storeBase;
    std::string programName;
    std::string homeDirectory;
    std::string logFileMode;
    std::string logFileName;
    bool modelOverride = false;
    bool ueiBytes = false;
    uint32_t logMask = 0;
    bool logMaskGiven = false;
    bool helpRequested = false;
};

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// Whole-text conversions: 0 (with *end untouched) for a null end, a character
// outside the base's digits, or a value wider than 32 bits; "" converts to 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
