#include "aDefs.h"

namespace {

struct ModelName {
    uint8_t code;
    const char* name;
};

constexpr ModelName kModels[] = {
    {aMODEL_HUB8, "ZV-Hub8"},     {aMODEL_ETH1, "ZV-ETH1"},     {aMODEL_ROUTER, "ZV-Router"},
    {aMODEL_IO16, "ZV-IO16"},     {aMODEL_ADC4, "ZV-ADC4"},     {aMODEL_DAC2, "ZV-DAC2"},
    {aMODEL_RELAY8, "ZV-Relay8"}, {aMODEL_SERVO6, "ZV-Servo6"}, {aMODEL_POWER2, "ZV-Power2"},
    {aMODEL_HUB4, "ZV-Hub4"},     {aMODEL_TEMP8, "ZV-Temp8"},   {aMODEL_SERIAL4, "ZV-Serial4"},
    {aMODEL_GPIO32, "ZV-GPIO32"}, {aMODEL_LOAD1, "ZV-Load1"},   {aMODEL_SWITCH4, "ZV-Switch4"},
    {aMODEL_METER2, "ZV-Meter2"}, {aMODEL_CORE1, "ZV-Core1"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
    for (const ModelName& entry : kModels) {
        if (entry.code == model) return entry.name;
    }
    return "Unknown";
}
