#include "system_options.h"

namespace zvsim {
namespace {

using T = OptionType;

// Stored values are plain numbers; the few with meaning are answered by the
// protocol handler from the module's state instead.
const std::vector<SystemOption> kOptions = {
    {1, T::U8, true, false, 0, "module"},
    {2, T::U8, true, true, 0, "router"},
    {3, T::U8, true, true, 10, "hbInterval"},
    {4, T::U8, true, true, 0, "led"},
    {6, T::U8, true, true, 0, "bootSlot"},
    {7, T::U32, true, false, 0, "version"},
    {8, T::U8, true, false, 0, "model"},
    {9, T::U32, true, false, 0, "serialNumber"},
    {10, T::Call, false, true, 0, "save"},
    {11, T::Call, false, true, 0, "reset"},
    {12, T::U32, true, false, 5000000, "inputVoltage"},
    {13, T::U8, true, false, 0, "moduleHardwareOffset"},
    {14, T::U8, true, false, 2, "moduleBaseAddress"},
    {15, T::U8, true, true, 0, "moduleSoftwareOffset"},
    {16, T::U8, true, false, 0, "routerAddressSetting"},
    {20, T::U8, false, true, 0, "routeToMe"},
    {21, T::U32, true, false, 120000, "inputCurrent"},
    {22, T::U32, true, false, 0, "uptime"},
    {23, T::U32, true, false, 45000000, "maximumTemperature"},
    {24, T::Call, false, true, 0, "logEvents"},
    {25, T::U32, true, false, 12000000, "unregulatedVoltage"},
    {26, T::U32, true, false, 80000, "unregulatedCurrent"},
    {27, T::U32, true, false, 31000000, "temperature"},
    {28, T::U32, true, false, 22000000, "minimumTemperature"},
    {29, T::U8, true, false, 1, "inputPowerSource"},
    {30, T::U8, true, true, 0, "inputPowerBehavior"},
    {31, T::Bytes, true, true, 0, "inputPowerBehaviorConfig"},
    {32, T::Bytes, true, true, 0, "name"},
    {33, T::U32, true, false, 2500000, "powerLimit"},
    {34, T::U32, true, true, 5000000, "powerLimitMax"},
    {35, T::U32, true, false, 0, "powerLimitState"},
    {37, T::Call, false, true, 0, "resetDeviceToFactoryDefaults"},
    {38, T::U8, true, true, 0, "linkInterface"},
    {40, T::U32, true, false, 0x00010000, "hardwareVersion"},
    {41, T::U32, true, false, 0, "errors"},
    {42, T::U8, true, true, 255, "ledMaxBrightness"},
    {43, T::U32, true, false, 0, "build"},
    {45, T::U32, true, false, 0, "protocolFeatures"},
};

}  // namespace

const std::vector<SystemOption>& systemOptions() {
    return kOptions;
}

const SystemOption* findSystemOption(uint8_t code) {
    for (const SystemOption& o : kOptions)
        if (o.code == code) return &o;
    return nullptr;
}

SystemSettings SystemSettings::factory(const std::string& name) {
    SystemSettings s;
    for (const SystemOption& o : kOptions)
        if (o.type == OptionType::U8 || o.type == OptionType::U32) s.values[o.code] = o.initial;
    s.name.assign(name.begin(), name.end());
    s.powerConfig.assign(8, 0);  // two words
    return s;
}

}  // namespace zvsim
