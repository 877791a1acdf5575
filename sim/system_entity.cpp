#include "system_entity.h"

namespace zvsim {
namespace {

constexpr size_t kPowerConfigLimit = kMaxPowerConfigWords * 4;

std::vector<uint8_t>* bytesSetting(ModuleModel& m, uint8_t option) {
    if (option == sysopt::kName) return &m.settings.name;
    if (option == sysopt::kPowerBehaviorConfig) return &m.settings.powerConfig;
    return nullptr;
}

void handleBytesSet(ModuleModel& m, const UeiRequest& req, Outcome& out) {
    const size_t limit = req.option == sysopt::kName ? kMaxNameLength : kPowerConfigLimit;
    std::vector<uint8_t> bytes;
    aErr error = aErrNone;
    switch (m.bytesIn.add(req, limit, bytes, error)) {
        case UeiBytesAssembler::Step::Incomplete:
            return;
        case UeiBytesAssembler::Step::Failed:
            out.replies.push_back(ueiError(m.address(), req, error));
            return;
        case UeiBytesAssembler::Step::Complete:
            break;
    }
    if (req.option == sysopt::kPowerBehaviorConfig && bytes.size() % 4 != 0) {
        out.replies.push_back(ueiError(m.address(), req, aErrSize));
        return;
    }
    *bytesSetting(m, req.option) = bytes;
    out.replies.push_back(ueiAnswer(m.address(), req));
}

void setNumeric(ModuleModel& m, const HandlerContext& ctx, uint8_t option, uint32_t value) {
    switch (option) {
        case sysopt::kRouter:
            m.routerAddress = static_cast<uint8_t>(value);
            break;
        case sysopt::kRouteToMe:
            // Unsolicited packets of this module (and of the modules behind
            // it) go to the link that asked.
            m.routeToMe = value != 0;
            if (m.routeToMe) m.routeConnection = ctx.connection;
            break;
        default:
            m.settings.values[option] = value;
    }
}

void handleCall(ModuleModel& m, const UeiRequest& req, Outcome& out) {
    switch (req.option) {
        case sysopt::kSave:
            m.saved = m.settings;
            break;
        case sysopt::kReset:
            out.restart = RestartKind::Same;
            break;
        case sysopt::kFactoryReset:
            m.settings = SystemSettings::factory(m.config().name);
            m.saved = m.settings;
            break;
        default:  // logEvents: nothing to log
            break;
    }
    out.replies.push_back(ueiAnswer(m.address(), req));
}

}  // namespace

bool systemValue(const ModuleModel& m, uint8_t option, uint64_t nowMs, uint32_t& value,
                 OptionType& type) {
    const SystemOption* info = findSystemOption(option);
    if (!info || !info->get || (info->type != OptionType::U8 && info->type != OptionType::U32))
        return false;
    type = info->type;
    switch (option) {
        case sysopt::kModule:
            value = m.address();
            break;
        case sysopt::kRouter:
            value = m.routerAddress;
            break;
        case sysopt::kVersion:
            value = m.version();
            break;
        case sysopt::kModel:
            value = m.config().model;
            break;
        case sysopt::kSerial:
            value = m.serial();
            break;
        case sysopt::kUptime:
            value = static_cast<uint32_t>(m.uptimeMs(nowMs) / 1000);
            break;
        case sysopt::kBuild:
            value = m.build();
            break;
        case sysopt::kProtocolFeatures:
            value = m.protocolFeatures();
            break;
        default: {
            auto it = m.settings.values.find(option);
            value = it == m.settings.values.end() ? 0 : it->second;
        }
    }
    return true;
}

aErr systemOptionStatus(uint8_t option, uint8_t index, uint8_t flags) {
    if (index != 0) return aErrIndexRange;
    const SystemOption* info = findSystemOption(option);
    if (!info) return aErrInvalidOption;
    if ((flags & kOptionGet) && !info->get) return aErrInvalidOption;
    if ((flags & kOptionSet) && !info->set) return aErrInvalidOption;
    return aErrNone;
}

void handleSystemRequest(ModuleModel& m, const HandlerContext& ctx, const UeiRequest& req,
                         Outcome& out) {
    const uint8_t address = m.address();
    const aErr status =
        systemOptionStatus(req.option, req.index, req.get ? kOptionGet : kOptionSet);
    if (status != aErrNone) {
        out.replies.push_back(ueiError(address, req, status));
        return;
    }
    const SystemOption& info = *findSystemOption(req.option);
    if (req.get) {
        if (info.type == OptionType::Bytes) {
            const std::vector<uint8_t>* bytes = bytesSetting(m, req.option);
            for (const Frame& f : ueiBytesAnswer(address, req, *bytes)) out.replies.push_back(f);
            return;
        }
        uint32_t value = 0;
        OptionType type = info.type;
        systemValue(m, req.option, ctx.nowMs, value, type);
        out.replies.push_back(type == OptionType::U8
                                  ? ueiAnswerU8(address, req, static_cast<uint8_t>(value))
                                  : ueiAnswerU32(address, req, value));
        return;
    }
    if (info.type == OptionType::Bytes) {
        handleBytesSet(m, req, out);
        return;
    }
    if (info.type == OptionType::Call) {
        handleCall(m, req, out);
        return;
    }
    uint8_t v8 = 0;
    uint32_t v32 = 0;
    const bool sized = info.type == OptionType::U8 ? valueU8(req, v8) : valueU32(req, v32);
    if (!sized) {
        out.replies.push_back(ueiError(address, req, aErrSize));
        return;
    }
    setNumeric(m, ctx, req.option, info.type == OptionType::U8 ? v8 : v32);
    out.replies.push_back(info.type == OptionType::U8 ? ueiAnswerU8(address, req, v8)
                                                      : ueiAnswerU32(address, req, v32));
}

}  // namespace zvsim
