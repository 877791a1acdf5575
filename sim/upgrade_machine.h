// The device side of the upgrade command (0x5F): INIT opens the exchange,
// PREPARE announces a block and its address, DATA (or one UEI bytes transfer)
// delivers bytes, SUM reports their byte sum, WRITE commits them to flash,
// LOAD starts the received loader and REBOOT starts the new firmware.
//
// Bytes received since the last PREPARE or WRITE are pending; SUM covers
// them and WRITE commits them at the block's write position. A block that
// ends without any WRITE (a loader block) is recorded as received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "aError.h"
#include "faults.h"
#include "flash_memory.h"
#include "frame.h"

namespace zvsim {

struct ReceivedBlock {
    uint32_t address = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    std::string sha256;
};

class UpgradeMachine {
  public:
    struct Settings {
        uint16_t blockSize = 1024;
        uint32_t loadBase = 0;
        bool loadReply = true;
    };
    enum class Event { None, Load, Reboot };
    struct Result {
        std::optional<Frame> reply;
        Event event = Event::None;
    };

    explicit UpgradeMachine(const Settings& settings) : settings_(settings) {}

    // A raw upgrade command (option byte below 0x40).
    Result handle(uint8_t address, const Frame& request, const FaultDecision& faults);
    // The bytes of one complete UEI bytes data transfer.
    aErr acceptData(const std::vector<uint8_t>& bytes);
    // Ends the block in progress; called before a restart and for the report.
    void closeBlock();
    void markBoot() { wroteSinceBoot_ = false; }

    bool wroteSinceBoot() const { return wroteSinceBoot_; }
    // Blocks that ended without a WRITE, plus the one in progress if it has
    // not been written to.
    std::vector<ReceivedBlock> loaderBlocks() const;
    const FlashMemory& flash() const { return flash_; }

  private:
    Frame status(uint8_t address, aErr status) const;
    Result prepare(uint8_t address, zv::ByteReader& args, const FaultDecision& faults);
    Result data(uint8_t address, zv::ByteReader& args, const FaultDecision& faults);
    Result sum(uint8_t address, const FaultDecision& faults) const;
    Result write(uint8_t address, zv::ByteReader& args);

    Settings settings_;
    bool prepared_ = false;
    bool written_ = false;  // the current block has seen a WRITE
    uint8_t flags_ = 0;
    uint32_t blockAddress_ = 0;
    uint64_t writePosition_ = 0;
    std::vector<uint8_t> pending_;
    bool wroteSinceBoot_ = false;
    std::vector<ReceivedBlock> loaderBlocks_;
    FlashMemory flash_;
};

}  // namespace zvsim
