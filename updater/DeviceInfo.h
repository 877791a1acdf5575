// One discovered device, as identified over its normal link.
#pragma once

#include <cstdint>
#include <string>

#include "aError.h"
#include "aLinkSpec.h"

struct DeviceInfo {
    linkSpec spec{};
    uint16_t networkAddress = 0;  // I2C address found by a router scan; 0 otherwise
    uint32_t buildNumber = 0;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string deviceName;
    aErr error = aErrNone;
};
