#include "upgrade_machine.h"

#include "sha256.h"

namespace zvsim {
namespace {

constexpr uint8_t kCmdUpgrade = 0x5F;
constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6,
                  kStatus = 7;
constexpr size_t kMaxDataChunk = 26;
// Far above any real block; keeps a runaway host from eating memory.
constexpr size_t kMaxPending = 16u << 20;

}  // namespace

Frame UpgradeMachine::status(uint8_t address, aErr code) const {
    FrameWriter w(address);
    w.u8(kCmdUpgrade).u8(kStatus).u8(static_cast<uint8_t>(code));
    return w.finish();
}

std::vector<ReceivedBlock> UpgradeMachine::loaderBlocks() const {
    std::vector<ReceivedBlock> blocks = loaderBlocks_;
    if (prepared_ && !written_ && !pending_.empty())
        blocks.push_back(
            {blockAddress_, flags_, static_cast<uint32_t>(pending_.size()), sha256Hex(pending_)});
    return blocks;
}

void UpgradeMachine::closeBlock() {
    if (prepared_ && !written_ && !pending_.empty()) {
        loaderBlocks_.push_back(
            {blockAddress_, flags_, static_cast<uint32_t>(pending_.size()), sha256Hex(pending_)});
    }
    prepared_ = false;
    written_ = false;
    pending_.clear();
}

UpgradeMachine::Result UpgradeMachine::handle(uint8_t address, const Frame& request,
                                              const FaultDecision& faults) {
    zv::ByteReader r = request.reader();
    r.skip(1);
    const uint8_t option = r.u8();
    Result result;
    switch (option) {
        case kInit: {
            closeBlock();
            FrameWriter w(address);
            result.reply = w.u8(kCmdUpgrade).u8(kInit).u32(settings_.loadBase).finish();
            return result;
        }
        case kPrepare:
            return prepare(address, r, faults);
        case kData:
            return data(address, r, faults);
        case kSum:
            return sum(address, faults);
        case kWrite:
            return write(address, r);
        case kLoad: {
            closeBlock();
            if (settings_.loadReply) {
                FrameWriter w(address);
                result.reply = w.u8(kCmdUpgrade).u8(kLoad).finish();
            }
            result.event = Event::Load;
            return result;
        }
        case kReboot:
            closeBlock();
            result.event = Event::Reboot;
            return result;
        default:
            return result;  // not a command a device acts on
    }
}

UpgradeMachine::Result UpgradeMachine::prepare(uint8_t address, zv::ByteReader& args,
                                               const FaultDecision& faults) {
    Result result;
    const uint8_t flags = args.u8();
    const uint32_t blockAddress = args.u32be();
    FrameWriter w(address);
    w.u8(kCmdUpgrade).u8(kStatus);
    if (!args.ok()) {
        result.reply = w.u8(aErrShortCommand).u16(0).finish();
        return result;
    }
    if (faults.refusePrepare) {
        result.reply = w.u8(aErrMode).u16(0).finish();
        return result;
    }
    closeBlock();
    prepared_ = true;
    flags_ = flags;
    blockAddress_ = blockAddress;
    writePosition_ = blockAddress;
    result.reply = w.u8(aErrNone).u16(settings_.blockSize).finish();
    return result;
}

UpgradeMachine::Result UpgradeMachine::data(uint8_t address, zv::ByteReader& args,
                                            const FaultDecision& faults) {
    Result result;
    const size_t n = args.remaining();
    uint8_t taken = 0;
    if (prepared_ && n >= 1 && n <= kMaxDataChunk && pending_.size() + n <= kMaxPending) {
        if (faults.wrongCount) {
            // Claims to have lost the last byte; the host sends the chunk again.
            taken = static_cast<uint8_t>(n - 1);
        } else {
            while (!args.atEnd()) pending_.push_back(args.u8());
            taken = static_cast<uint8_t>(n);
        }
    }
    FrameWriter w(address);
    result.reply = w.u8(kCmdUpgrade).u8(kData).u8(taken).finish();
    return result;
}

UpgradeMachine::Result UpgradeMachine::sum(uint8_t address, const FaultDecision& faults) const {
    Result result;
    uint32_t total = 0;
    zv::ByteReader bytes(pending_.data(), pending_.size());
    while (!bytes.atEnd()) total += bytes.u8();
    if (faults.corruptSum) total ^= 0x01;
    FrameWriter w(address);
    w.u8(kCmdUpgrade).u8(kStatus).u8(prepared_ ? aErrNone : aErrMode).u32(total);
    result.reply = w.finish();
    return result;
}

UpgradeMachine::Result UpgradeMachine::write(uint8_t address, zv::ByteReader& args) {
    Result result;
    const uint16_t count = args.u16be();
    if (!args.ok()) {
        result.reply = status(address, aErrShortCommand);
    } else if (!prepared_) {
        result.reply = status(address, aErrMode);
    } else if (count != static_cast<uint16_t>(pending_.size())) {
        result.reply = status(address, aErrSize);
    } else if (writePosition_ + pending_.size() > 0x100000000ull) {
        result.reply = status(address, aErrRange);
    } else {
        flash_.write(static_cast<uint32_t>(writePosition_), pending_);
        writePosition_ += pending_.size();
        pending_.clear();
        written_ = true;
        wroteSinceBoot_ = true;
        result.reply = status(address, aErrNone);
    }
    return result;
}

aErr UpgradeMachine::acceptData(const std::vector<uint8_t>& bytes) {
    if (!prepared_) return aErrMode;
    if (pending_.size() + bytes.size() > kMaxPending) return aErrOverrun;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return aErrNone;
}

}  // namespace zvsim
