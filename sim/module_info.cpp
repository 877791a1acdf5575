#include "module_info.h"

#include "system_entity.h"
#include "uei_messages.h"

namespace zvsim {
namespace {

constexpr uint8_t kCmdInfo = 73;
constexpr uint8_t kBuild = 0xFF, kHasUei = 1, kClassQuantity = 4, kSubClassQuantity = 5,
                  kEntityGroup = 6;
constexpr uint8_t kCmdSystem = 3, kCmdSlot = 4, kCmdI2C = 8, kCmdEcho = 23, kCmdStore = 92,
                  kCmdStream = 93, kCmdFactory = 94, kCmdUpgrade = 95;
constexpr uint8_t kUpgradeDataUei = 10;
constexpr uint8_t kLastRawUpgradeOption = 6;

aErr ueiStatus(const ModuleModel& m, uint8_t command, uint8_t option, uint8_t index,
               uint8_t flags) {
    if (entityCount(m, command) == 0) return aErrInvalidEntity;
    if (index >= entityCount(m, command)) return aErrIndexRange;
    const bool get = flags & kOptionGet, set = flags & kOptionSet;
    switch (command) {
        case kCmdSystem:
            return systemOptionStatus(option, index, flags);
        case kCmdStore:
            return option <= 2 && !get ? aErrNone : aErrInvalidOption;
        case kCmdStream:
            if (option == 1) return aErrNone;
            return option == 2 && !get ? aErrNone : aErrInvalidOption;
        case kCmdUpgrade:
            if (option == kUpgradeDataUei)
                return m.config().ueiData && !get ? aErrNone : aErrInvalidOption;
            return option <= kLastRawUpgradeOption && !get && !set ? aErrNone : aErrInvalidOption;
        default:
            // Raw commands take no get or set form.
            return get || set ? aErrInvalidOption : aErrNone;
    }
}

}  // namespace

uint8_t entityCount(const ModuleModel& m, uint8_t command) {
    switch (command) {
        case kCmdSlot:
            return m.slots.stores();
        case kCmdSystem:
        case kCmdI2C:
        case kCmdEcho:
        case kCmdInfo:
        case kCmdStore:
        case kCmdStream:
        case kCmdFactory:
        case kCmdUpgrade:
            return 1;
        default:
            return 0;
    }
}

std::optional<Frame> handleModuleInfo(const ModuleModel& m, const Frame& request) {
    zv::ByteReader r = request.reader();
    r.skip(1);
    const uint8_t sub = r.u8();
    if (!r.ok()) return std::nullopt;
    FrameWriter w(m.address());
    w.u8(kCmdInfo).u8(sub);
    switch (sub) {
        case kBuild:
            return w.u32(m.build()).finish();
        case kHasUei: {
            const uint8_t command = r.u8(), option = r.u8(), index = r.u8(), flags = r.u8();
            if (!r.ok()) break;
            const aErr status = ueiStatus(m, command, option, index, flags);
            return w.u8(command).u8(option).u8(index).u8(static_cast<uint8_t>(status)).finish();
        }
        case kClassQuantity: {
            const uint8_t command = r.u8();
            if (!r.ok()) break;
            return w.u8(command).u8(entityCount(m, command)).finish();
        }
        case kSubClassQuantity: {
            const uint8_t command = r.u8(), index = r.u8();
            if (!r.ok()) break;
            const bool slots = command == kCmdSlot && index < m.slots.stores();
            return w.u8(command).u8(index).u8(slots ? m.slots.slotsPerStore() : 0).finish();
        }
        case kEntityGroup: {
            const uint8_t command = r.u8(), index = r.u8();
            if (!r.ok()) break;
            return w.u8(command).u8(index).u8(0).finish();
        }
        default:
            return w.u8(static_cast<uint8_t>(aErrInvalidOption)).finish();
    }
    return w.u8(static_cast<uint8_t>(aErrShortCommand)).finish();
}

}  // namespace zvsim
