// The system entity's options: their value types, which of get and set they
// take, and the settings a module keeps for them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zvsim {

enum class OptionType { U8, U32, Call, Bytes };

struct SystemOption {
    uint8_t code;
    OptionType type;
    bool get;
    bool set;
    uint32_t initial;  // factory value of a stored numeric option
    const char* name;
};

namespace sysopt {
inline constexpr uint8_t kModule = 1;
inline constexpr uint8_t kRouter = 2;
inline constexpr uint8_t kHBInterval = 3;
inline constexpr uint8_t kVersion = 7;
inline constexpr uint8_t kModel = 8;
inline constexpr uint8_t kSerial = 9;
inline constexpr uint8_t kSave = 10;
inline constexpr uint8_t kReset = 11;
inline constexpr uint8_t kRouteToMe = 20;
inline constexpr uint8_t kUptime = 22;
inline constexpr uint8_t kPowerBehaviorConfig = 31;
inline constexpr uint8_t kName = 32;
inline constexpr uint8_t kFactoryReset = 37;
inline constexpr uint8_t kBuild = 43;
inline constexpr uint8_t kProtocolFeatures = 45;
}  // namespace sysopt

// Protocol feature bit: the module takes pooled packets (many frames per write).
inline constexpr uint32_t kFeaturePooledPackets = 0x80000000u;
inline constexpr size_t kMaxNameLength = 32;
inline constexpr size_t kMaxPowerConfigWords = 16;

// The option, or null when the system entity has no such option.
const SystemOption* findSystemOption(uint8_t code);
const std::vector<SystemOption>& systemOptions();

// Values the module stores (numeric options, name and power configuration);
// identity values (serial number, model, version) are not settings.
struct SystemSettings {
    std::map<uint8_t, uint32_t> values;
    std::vector<uint8_t> name;
    std::vector<uint8_t> powerConfig;

    static SystemSettings factory(const std::string& name);
};

}  // namespace zvsim
