// Fault injection: rules that make one module misbehave at a chosen packet.
//
// A rule names a packet kind and either one occurrence ("kind@N": only the
// Nth packet of that kind) or a period ("kind%N": every Nth). Counting is per
// module and per kind, over the packets the module receives.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zvsim {

enum class FaultType {
    DropReply,      // the answer to the packet is not sent
    WrongCount,     // a DATA answer reports a count that differs from the bytes sent
    CorruptSum,     // a SUM answer carries a wrong sum
    RefusePrepare,  // a PREPARE answer carries a non-zero status
    Stall,          // the module stops answering (for a while, or for good)
    DropLink,       // the host link is cut before the packet is handled
    CorruptSerial,  // one byte of an outgoing serial block is damaged
};

struct FaultRule {
    FaultType type = FaultType::DropReply;
    std::string kind;    // packet kind, see packetKindNames()
    bool every = false;  // true: every Nth; false: only the Nth
    uint32_t n = 1;
    uint32_t ms = 0;  // stall duration; 0 = for good
};

// Parses "kind@N", "kind%N" (plus ":MS" for stalls). For the fault types tied
// to one kind (wrong-count, corrupt-sum, refuse-prepare, corrupt-serial) the
// kind may be left out ("@N", "%N"). Returns false with a message on error.
bool parseFaultRule(FaultType type, const std::string& text, FaultRule& rule, std::string& error);

// The kinds a rule may name; the report counts packets under the same names.
const std::vector<std::string>& packetKindNames();

// What the rules decide for one received packet.
struct FaultDecision {
    bool dropReply = false;
    bool wrongCount = false;
    bool corruptSum = false;
    bool refusePrepare = false;
    bool dropLink = false;
    bool stall = false;
    uint32_t stallMs = 0;
};

class FaultPlan {
  public:
    void add(const FaultRule& rule) { rules_.push_back(rule); }
    bool empty() const { return rules_.empty(); }
    // Counts one received packet of `kind` and returns the faults that hit it.
    FaultDecision onPacket(const std::string& kind);
    // Counts one outgoing serial block; true when it is to be damaged.
    bool onSerialBlock();
    uint32_t injected() const { return injected_; }

  private:
    static bool hits(const FaultRule& rule, uint64_t count);

    std::vector<FaultRule> rules_;
    std::map<std::string, uint64_t> counts_;
    uint64_t serialBlocks_ = 0;
    uint32_t injected_ = 0;
};

}  // namespace zvsim
