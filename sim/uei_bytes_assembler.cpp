#include "uei_bytes_assembler.h"

namespace zvsim {

UeiBytesAssembler::Step UeiBytesAssembler::add(const UeiRequest& request, size_t limit,
                                               std::vector<uint8_t>& bytes, aErr& error) {
    UeiBytesChunk chunk;
    if (!parseUeiBytesChunk(request, chunk)) {
        active_ = false;
        error = aErrShortCommand;
        return Step::Failed;
    }
    const uint32_t key = static_cast<uint32_t>(request.command) << 16 |
                         static_cast<uint32_t>(request.option) << 8 | request.index;
    if (chunk.sequence == 0) {
        active_ = true;
        failed_ = false;
        key_ = key;
        next_ = 0;
        bytes_.clear();
    }
    if (!active_ || key != key_ || chunk.sequence != next_) {
        // Only the last packet of a broken array is answered, so the host
        // gets one error answer for its one set request.
        const bool answer = !chunk.more && !failed_;
        active_ = false;
        error = aErrPacket;
        return answer ? Step::Failed : Step::Incomplete;
    }
    if (bytes_.size() + chunk.payload.size() > limit) {
        failed_ = true;
        active_ = false;
        error = aErrSize;
        return Step::Failed;
    }
    bytes_.insert(bytes_.end(), chunk.payload.begin(), chunk.payload.end());
    next_ = static_cast<uint8_t>((next_ + 1) & kSequenceMask);
    if (chunk.more) return Step::Incomplete;
    active_ = false;
    bytes.swap(bytes_);
    bytes_.clear();
    return Step::Complete;
}

}  // namespace zvsim
