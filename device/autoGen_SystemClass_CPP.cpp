#include "autoGen_SystemClass_CPP.h"

#include <vector>

#include "aBytes.h"
#include "aDefs.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

namespace option {
constexpr uint8_t kModule = 1, kRouter = 2, kHBInterval = 3, kLED = 4, kBootSlot = 6, kVersion = 7,
                  kModel = 8, kSerialNumber = 9, kSave = 10, kReset = 11, kInputVoltage = 12,
                  kModuleHardwareOffset = 13, kModuleBaseAddress = 14, kModuleSoftwareOffset = 15,
                  kRouterAddressSetting = 16, kRouteToMe = 20, kInputCurrent = 21, kUptime = 22,
                  kMaximumTemperature = 23, kLogEvents = 24, kUnregulatedVoltage = 25,
                  kUnregulatedCurrent = 26, kTemperature = 27, kMinimumTemperature = 28,
                  kInputPowerSource = 29, kInputPowerBehavior = 30, kInputPowerBehaviorConfig = 31,
                  kName = 32, kPowerLimit = 33, kPowerLimitMax = 34, kPowerLimitState = 35,
                  kResetDeviceToFactoryDefaults = 37, kLinkInterface = 38, kHardwareVersion = 40,
                  kErrors = 41, kLEDMaxBrightness = 42, kBuild = 43, kProtocolFeatures = 45;
}  // namespace option

constexpr size_t kWordSize = 4;

}  // namespace

void SystemClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, cmdSYSTEM, index);
}

// Signed values travel as their 32-bit pattern.
aErr SystemClass::getSigned(uint8_t option, int32_t* value) {
    if (!value) return aErrParam;
    uint32_t pattern = 0;
    const aErr err = getUEI32(option, &pattern);
    if (err == aErrNone || err == aErrStreamStale) *value = static_cast<int32_t>(pattern);
    return err;
}

aErr SystemClass::getModule(uint8_t* value) {
    return getUEI8(option::kModule, value);
}
aErr SystemClass::getRouter(uint8_t* value) {
    return getUEI8(option::kRouter, value);
}
aErr SystemClass::setRouter(uint8_t value) {
    return setUEI8(option::kRouter, value);
}
aErr SystemClass::getHBInterval(uint8_t* value) {
    return getUEI8(option::kHBInterval, value);
}
aErr SystemClass::setHBInterval(uint8_t value) {
    return setUEI8(option::kHBInterval, value);
}
aErr SystemClass::getLED(uint8_t* value) {
    return getUEI8(option::kLED, value);
}
aErr SystemClass::setLED(uint8_t value) {
    return setUEI8(option::kLED, value);
}
aErr SystemClass::getBootSlot(uint8_t* value) {
    return getUEI8(option::kBootSlot, value);
}
aErr SystemClass::setBootSlot(uint8_t value) {
    return setUEI8(option::kBootSlot, value);
}
aErr SystemClass::getVersion(uint32_t* value) {
    return getUEI32(option::kVersion, value);
}
aErr SystemClass::getModel(uint8_t* value) {
    return getUEI8(option::kModel, value);
}
aErr SystemClass::getSerialNumber(uint32_t* value) {
    return getUEI32(option::kSerialNumber, value);
}
aErr SystemClass::save() {
    return callUEI(option::kSave);
}
aErr SystemClass::reset() {
    return callUEI(option::kReset);
}
aErr SystemClass::getInputVoltage(uint32_t* value) {
    return getUEI32(option::kInputVoltage, value);
}
aErr SystemClass::getModuleHardwareOffset(uint8_t* value) {
    return getUEI8(option::kModuleHardwareOffset, value);
}
aErr SystemClass::getModuleBaseAddress(uint8_t* value) {
    return getUEI8(option::kModuleBaseAddress, value);
}
aErr SystemClass::getModuleSoftwareOffset(uint8_t* value) {
    return getUEI8(option::kModuleSoftwareOffset, value);
}
aErr SystemClass::setModuleSoftwareOffset(uint8_t value) {
    return setUEI8(option::kModuleSoftwareOffset, value);
}
aErr SystemClass::getRouterAddressSetting(uint8_t* value) {
    return getUEI8(option::kRouterAddressSetting, value);
}
aErr SystemClass::routeToMe(uint8_t value) {
    return setUEI8(option::kRouteToMe, value);
}
aErr SystemClass::getInputCurrent(uint32_t* value) {
    return getUEI32(option::kInputCurrent, value);
}
aErr SystemClass::getUptime(uint32_t* value) {
    return getUEI32(option::kUptime, value);
}
aErr SystemClass::getMaximumTemperature(int32_t* value) {
    return getSigned(option::kMaximumTemperature, value);
}
aErr SystemClass::logEvents() {
    return callUEI(option::kLogEvents);
}
aErr SystemClass::getUnregulatedVoltage(int32_t* value) {
    return getSigned(option::kUnregulatedVoltage, value);
}
aErr SystemClass::getUnregulatedCurrent(int32_t* value) {
    return getSigned(option::kUnregulatedCurrent, value);
}
aErr SystemClass::getTemperature(int32_t* value) {
    return getSigned(option::kTemperature, value);
}
aErr SystemClass::getMinimumTemperature(int32_t* value) {
    return getSigned(option::kMinimumTemperature, value);
}
aErr SystemClass::getInputPowerSource(uint8_t* value) {
    return getUEI8(option::kInputPowerSource, value);
}
aErr SystemClass::getInputPowerBehavior(uint8_t* value) {
    return getUEI8(option::kInputPowerBehavior, value);
}
aErr SystemClass::setInputPowerBehavior(uint8_t value) {
    return setUEI8(option::kInputPowerBehavior, value);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* buffer, size_t capacity, size_t* count) {
    if (!buffer || !count || capacity == 0) return aErrParam;
    std::vector<uint8_t> bytes(capacity * kWordSize);
    size_t received = 0;
    aErr err =
        getUEIBytes(option::kInputPowerBehaviorConfig, bytes.data(), bytes.size(), &received);
    *count = 0;
    if (err != aErrNone) return err;
    err = getUEIBytesCheck(&received, kWordSize);
    if (err != aErrNone) return err;
    zv::ByteReader r(bytes.data(), received * kWordSize);
    for (size_t i = 0; i < received; ++i) buffer[i] = r.u32be();
    *count = received;
    return aErrNone;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* values, size_t count) {
    if (!values && count) return aErrParam;
    std::vector<uint8_t> bytes(count * kWordSize);
    zv::ByteWriter w(bytes.data(), bytes.size());
    for (size_t i = 0; i < count; ++i) w.u32be(values[i]);
    return setUEIBytes(option::kInputPowerBehaviorConfig, bytes.data(), bytes.size());
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count) {
    return getUEIBytes(option::kName, buffer, capacity, count);
}
aErr SystemClass::setName(const uint8_t* name, size_t length) {
    return setUEIBytes(option::kName, name, length);
}
aErr SystemClass::getPowerLimit(uint32_t* value) {
    return getUEI32(option::kPowerLimit, value);
}
aErr SystemClass::getPowerLimitMax(uint32_t* value) {
    return getUEI32(option::kPowerLimitMax, value);
}
aErr SystemClass::setPowerLimitMax(uint32_t value) {
    return setUEI32(option::kPowerLimitMax, value);
}
aErr SystemClass::getPowerLimitState(uint32_t* value) {
    return getUEI32(option::kPowerLimitState, value);
}
aErr SystemClass::resetDeviceToFactoryDefaults() {
    return callUEI(option::kResetDeviceToFactoryDefaults);
}
aErr SystemClass::getLinkInterface(uint8_t* value) {
    return getUEI8(option::kLinkInterface, value);
}
aErr SystemClass::setLinkInterface(uint8_t value) {
    return setUEI8(option::kLinkInterface, value);
}
aErr SystemClass::getHardwareVersion(uint32_t* value) {
    return getUEI32(option::kHardwareVersion, value);
}
aErr SystemClass::getErrors(uint32_t* value) {
    return getUEI32(option::kErrors, value);
}
aErr SystemClass::getLEDMaxBrightness(uint8_t* value) {
    return getUEI8(option::kLEDMaxBrightness, value);
}
aErr SystemClass::setLEDMaxBrightness(uint8_t value) {
    return setUEI8(option::kLEDMaxBrightness, value);
}
aErr SystemClass::getBuild(uint32_t* value) {
    return getUEI32(option::kBuild, value);
}
aErr SystemClass::getProtocolFeatures(uint32_t* value) {
    return getUEI32(option::kProtocolFeatures, value);
}

}  // namespace Zentrovia
}  // namespace Veltrina
