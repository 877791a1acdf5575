#include "faults.h"

#include <algorithm>
#include <cstdlib>

namespace zvsim {
namespace {

const char* impliedKind(FaultType type) {
    switch (type) {
        case FaultType::WrongCount:
            return "data";
        case FaultType::CorruptSum:
            return "sum";
        case FaultType::RefusePrepare:
            return "prepare";
        case FaultType::CorruptSerial:
            return "serial";
        default:
            return nullptr;
    }
}

bool parseCount(const std::string& text, uint32_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v == 0 || v > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

const std::vector<std::string>& packetKindNames() {
    static const std::vector<std::string> names = {
        "sync",    "force-route", "hb",     "get",    "set",     "info",    "echo", "slot",
        "factory", "i2c",         "stream", "store",  "init",    "prepare", "data", "data-uei",
        "sum",     "write",       "load",   "reboot", "unknown", "any"};
    return names;
}

bool parseFaultRule(FaultType type, const std::string& text, FaultRule& rule, std::string& error) {
    rule = FaultRule{};
    rule.type = type;
    const size_t mark = text.find_first_of("@%");
    if (mark == std::string::npos) {
        error = "fault '" + text + "' needs @N or %N";
        return false;
    }
    rule.kind = text.substr(0, mark);
    rule.every = text[mark] == '%';
    std::string count = text.substr(mark + 1);
    const size_t colon = count.find(':');
    if (colon != std::string::npos) {
        if (type != FaultType::Stall) {
            error = "only stall takes a duration: '" + text + "'";
            return false;
        }
        const std::string ms = count.substr(colon + 1);
        count = count.substr(0, colon);
        if (ms != "0" && !parseCount(ms, rule.ms)) {
            error = "bad stall duration in '" + text + "'";
            return false;
        }
    }
    if (!parseCount(count, rule.n)) {
        error = "bad count in fault '" + text + "'";
        return false;
    }
    const char* implied = impliedKind(type);
    if (implied) {
        if (!rule.kind.empty() && rule.kind != implied) {
            error = "fault '" + text + "' applies to " + implied + " only";
            return false;
        }
        rule.kind = implied;
        return true;
    }
    const auto& names = packetKindNames();
    if (std::find(names.begin(), names.end(), rule.kind) == names.end()) {
        error = "unknown packet kind '" + rule.kind + "' in fault '" + text + "'";
        return false;
    }
    return true;
}

bool FaultPlan::hits(const FaultRule& rule, uint64_t count) {
    return rule.every ? count % rule.n == 0 : count == rule.n;
}

FaultDecision FaultPlan::onPacket(const std::string& kind) {
    FaultDecision d;
    if (rules_.empty()) return d;
    const uint64_t count = ++counts_[kind];
    const uint64_t any = ++counts_["any"];
    for (const FaultRule& rule : rules_) {
        if (rule.type == FaultType::CorruptSerial) continue;
        const bool matches =
            rule.kind == "any" ? hits(rule, any) : rule.kind == kind && hits(rule, count);
        if (!matches) continue;
        ++injected_;
        switch (rule.type) {
            case FaultType::DropReply:
                d.dropReply = true;
                break;
            case FaultType::WrongCount:
                d.wrongCount = true;
                break;
            case FaultType::CorruptSum:
                d.corruptSum = true;
                break;
            case FaultType::RefusePrepare:
                d.refusePrepare = true;
                break;
            case FaultType::Stall:
                d.stall = true;
                d.stallMs = rule.ms;
                break;
            case FaultType::DropLink:
                d.dropLink = true;
                break;
            case FaultType::CorruptSerial:
                break;
        }
    }
    return d;
}

bool FaultPlan::onSerialBlock() {
    bool hit = false;
    ++serialBlocks_;
    for (const FaultRule& rule : rules_) {
        if (rule.type == FaultType::CorruptSerial && hits(rule, serialBlocks_)) hit = true;
    }
    if (hit) ++injected_;
    return hit;
}

}  // namespace zvsim
