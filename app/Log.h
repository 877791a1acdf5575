// Process-wide debug log with a 32-bit category mask (the -X option).
#pragma once

#include <cstdio>

// Categories; a line of category 0 is always written.
enum : unsigned {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    static void log(unsigned category, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(unsigned mask) { package_bitmask |= mask; }
    static void DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }
    static bool IsActive(unsigned category) { return category == 0 || (category & package_bitmask); }

    static FILE* fh;
    static unsigned package_bitmask;
};
