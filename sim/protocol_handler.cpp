#include "protocol_handler.h"

#include "module_info.h"
#include "system_entity.h"
#include "uei_messages.h"

namespace zvsim {
namespace {

constexpr uint8_t kCmdHeartbeat = 0, kCmdSystem = 3, kCmdSlot = 4, kCmdI2C = 8, kCmdEcho = 23,
                  kCmdInfo = 73, kCmdStore = 92, kCmdStream = 93, kCmdFactory = 94,
                  kCmdUpgrade = 95;
constexpr uint8_t kHeartbeatAnswerUp = 2, kHeartbeatAnswerDown = 3;
constexpr uint8_t kStreamEnable = 1, kStreamDisable = 2;
constexpr uint8_t kStoreSave = 0, kStoreFactoryReset = 1, kStoreLoad = 2;
constexpr uint8_t kUpgradeDataUei = 10;
constexpr size_t kMaxUeiData = 16u << 20;

bool isHeartbeat(const Frame& f, uint8_t& state) {
    zv::ByteReader r = f.reader();
    const uint8_t command = r.u8();
    state = r.u8();
    return r.ok() && r.atEnd() && command == kCmdHeartbeat;
}

const char* upgradeKind(uint8_t optionByte) {
    static const char* const kinds[] = {"init", "data",  "load",  "prepare",
                                        "sum",  "write", "reboot"};
    if (optionByte < sizeof kinds / sizeof kinds[0]) return kinds[optionByte];
    if (optionByte == (kOptionSet | kUpgradeDataUei)) return "data-uei";
    return "unknown";
}

void handleEntityStore(ModuleModel& m, const UeiRequest& req, Outcome& out) {
    uint32_t target = 0;
    aErr error = aErrNone;
    if (!req.set || req.index != 0 || req.option > kStoreLoad) {
        error = req.index != 0 ? aErrIndexRange : aErrInvalidOption;
    } else if (!valueU32(req, target)) {
        error = aErrSize;
    } else {
        const uint8_t command = static_cast<uint8_t>(target >> 8),
                      index = static_cast<uint8_t>(target);
        if (index >= entityCount(m, command)) {
            error = aErrInvalidEntity;
        } else if (command == kCmdSystem) {
            // Only the system entity keeps settings; the others have none to move.
            if (req.option == kStoreSave) m.saved = m.settings;
            if (req.option == kStoreLoad) m.settings = m.saved;
            if (req.option == kStoreFactoryReset)
                m.settings = SystemSettings::factory(m.config().name);
        }
    }
    out.replies.push_back(error == aErrNone ? ueiAnswerU32(m.address(), req, target)
                                            : ueiError(m.address(), req, error));
}

void handleStreamControl(ModuleModel& m, const HandlerContext& ctx, const UeiRequest& req,
                         Outcome& out) {
    if (req.index != 0) {
        out.replies.push_back(ueiError(m.address(), req, aErrIndexRange));
        return;
    }
    if (req.get) {
        if (req.option != kStreamEnable) {
            out.replies.push_back(ueiError(m.address(), req, aErrInvalidOption));
            return;
        }
        out.replies.push_back(ueiAnswerU8(m.address(), req, m.streams.any() ? 1 : 0));
        return;
    }
    uint32_t key = 0;
    if (req.option != kStreamEnable && req.option != kStreamDisable) {
        out.replies.push_back(ueiError(m.address(), req, aErrInvalidOption));
        return;
    }
    if (!valueU32(req, key)) {
        out.replies.push_back(ueiError(m.address(), req, aErrSize));
        return;
    }
    if (req.option == kStreamEnable)
        m.streams.enable(key, ctx.connection);
    else
        m.streams.disable(key);
    out.streamsChanged = true;
    out.replies.push_back(ueiAnswer(m.address(), req));
}

void handleUpgradeData(ModuleModel& m, const UeiRequest& req, Outcome& out) {
    if (!m.config().ueiData || !req.set || req.index != 0) {
        UeiBytesChunk chunk;
        // One error answer for the whole array: at its last packet.
        if (!parseUeiBytesChunk(req, chunk) || !chunk.more)
            out.replies.push_back(
                ueiError(m.address(), req, req.index ? aErrIndexRange : aErrInvalidOption));
        return;
    }
    std::vector<uint8_t> bytes;
    aErr error = aErrNone;
    switch (m.bytesIn.add(req, kMaxUeiData, bytes, error)) {
        case UeiBytesAssembler::Step::Incomplete:
            return;
        case UeiBytesAssembler::Step::Failed:
            out.replies.push_back(ueiError(m.address(), req, error));
            return;
        case UeiBytesAssembler::Step::Complete:
            error = m.upgrade.acceptData(bytes);
            out.replies.push_back(error == aErrNone ? ueiAnswer(m.address(), req)
                                                    : ueiError(m.address(), req, error));
    }
}

void handleUpgrade(ModuleModel& m, const Frame& frame, const FaultDecision& faults, Outcome& out) {
    UeiRequest req;
    if (parseUeiRequest(frame, req)) {
        if (req.option == kUpgradeDataUei || req.get)
            handleUpgradeData(m, req, out);
        else
            out.replies.push_back(ueiError(m.address(), req, aErrInvalidOption));
        return;
    }
    UpgradeMachine::Result r = m.upgrade.handle(m.address(), frame, faults);
    if (r.reply) out.replies.push_back(*r.reply);
    if (r.event == UpgradeMachine::Event::Load) out.restart = RestartKind::Loader;
    if (r.event == UpgradeMachine::Event::Reboot) out.restart = RestartKind::Firmware;
}

void handleCommand(ModuleModel& m, const HandlerContext& ctx, const Frame& frame,
                   const FaultDecision& faults, Outcome& out) {
    zv::ByteReader r = frame.reader();
    const uint8_t command = r.u8();
    std::optional<Frame> reply;
    switch (command) {
        case kCmdEcho:
            out.replies.push_back(frame);
            out.replies.back().address = m.address();
            return;
        case kCmdInfo:
            reply = handleModuleInfo(m, frame);
            break;
        case kCmdSlot:
            reply = m.slots.handle(m.address(), frame);
            break;
        case kCmdFactory:
            reply = m.factory.handle(m.address(), frame);
            break;
        case kCmdI2C:
            reply = m.i2c.handle(m.address(), frame, ctx.i2cPresent);
            break;
        case kCmdUpgrade:
            handleUpgrade(m, frame, faults, out);
            return;
        default: {
            UeiRequest req;
            if (!parseUeiRequest(frame, req)) return;  // nothing a module answers
            if (command == kCmdSystem)
                handleSystemRequest(m, ctx, req, out);
            else if (command == kCmdStore)
                handleEntityStore(m, req, out);
            else if (command == kCmdStream)
                handleStreamControl(m, ctx, req, out);
            else
                out.replies.push_back(ueiError(m.address(), req, aErrInvalidEntity));
            return;
        }
    }
    if (reply) out.replies.push_back(*reply);
}

}  // namespace

std::string classifyFrame(const Frame& f) {
    if (f.address == kAddressEcho) return "sync";
    if (f.address == kForceRoute) return "force-route";
    uint8_t state = 0;
    if (isHeartbeat(f, state)) return "hb";
    zv::ByteReader r = f.reader();
    const uint8_t command = r.u8();
    const uint8_t optionByte = r.u8();
    if (!r.ok()) return "unknown";
    switch (command) {
        case kCmdEcho:
            return "echo";
        case kCmdInfo:
            return "info";
        case kCmdSlot:
            return "slot";
        case kCmdFactory:
            return "factory";
        case kCmdI2C:
            return "i2c";
        case kCmdUpgrade:
            return upgradeKind(optionByte);
        case kCmdStore:
            return "store";
        case kCmdStream:
            return "stream";
        default:
            if ((optionByte & kOptionSetAnswer) == kOptionGet) return "get";
            if ((optionByte & kOptionSetAnswer) == kOptionSet) return "set";
            return "unknown";
    }
}

Outcome handleFrame(ModuleModel& m, const HandlerContext& ctx, const Frame& frame) {
    Outcome out;
    const std::string kind = classifyFrame(frame);
    m.countPacket(kind);
    const FaultDecision faults = m.faults.onPacket(kind);
    if (faults.dropLink) {
        out.dropLink = true;
        return out;
    }
    if (faults.stall) {
        out.stall = true;
        out.stallMs = faults.stallMs;
        return out;
    }
    if (m.routeConnection == 0) m.routeConnection = ctx.connection;
    if (m.routeConnection == ctx.connection && !m.heartbeat.active) {
        m.heartbeat.active = true;
        m.heartbeat.missedInRow = 0;
    }

    uint8_t state = 0;
    if (frame.address == kAddressEcho) {
        out.replies.push_back(FrameWriter(m.address()).finish());
    } else if (frame.address == kForceRoute) {
        zv::ByteReader r = frame.reader();
        const uint8_t on = r.u8();
        if (r.ok() && on) m.routeConnection = ctx.connection;
        if (r.ok() && !on && m.routeConnection == ctx.connection) m.routeConnection = 0;
    } else if (isHeartbeat(frame, state)) {
        if ((state == kHeartbeatAnswerUp || state == kHeartbeatAnswerDown) && m.heartbeat.pending) {
            m.heartbeat.pending = false;
            m.heartbeat.missedInRow = 0;
            ++m.heartbeat.answered;
        }
    } else if (frame.length > 0) {
        handleCommand(m, ctx, frame, faults, out);
    }
    if (faults.dropReply) out.replies.clear();
    return out;
}

Frame heartbeatFrame(const ModuleModel& m) {
    FrameWriter w(m.address());
    w.u8(kCmdHeartbeat).u8(m.heartbeat.nextState);
    return w.finish();
}

std::vector<std::pair<uint32_t, Frame>> streamSamples(const ModuleModel& m, uint64_t nowMs) {
    std::vector<std::pair<uint32_t, Frame>> samples;
    const uint64_t timestampUs = m.uptimeMs(nowMs) * 1000;
    for (const StreamSubscription& s : m.streams.subscriptions()) {
        const StreamKey key = StreamKey::fromWord(s.key);
        for (const SystemOption& option : systemOptions()) {
            uint32_t value = 0;
            OptionType type{};
            if (!key.matches(m.address(), kCmdSystem, option.code, 0) ||
                !systemValue(m, option.code, nowMs, value, type))
                continue;
            const uint8_t streamType = type == OptionType::U8 ? kStreamTypeU8 : kStreamTypeU32;
            samples.emplace_back(s.connection, streamSample(m.address(), kCmdSystem, option.code, 0,
                                                            streamType, timestampUs, value));
        }
    }
    return samples;
}

}  // namespace zvsim
