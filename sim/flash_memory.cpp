#include "flash_memory.h"

#include <algorithm>
#include <iterator>

namespace zvsim {

void FlashMemory::write(uint32_t address, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    uint64_t start = address;
    uint64_t end = start + bytes.size();
    // Gather every region that touches [start, end) and lay them under the
    // new bytes, so the merged region keeps what the write does not cover.
    auto first = regions_.upper_bound(start);
    if (first != regions_.begin()) {
        auto prev = std::prev(first);
        if (prev->first + prev->second.size() >= start) first = prev;
    }
    auto last = first;
    while (last != regions_.end() && last->first <= end) ++last;
    for (auto it = first; it != last; ++it) {
        start = std::min<uint64_t>(start, it->first);
        end = std::max<uint64_t>(end, it->first + it->second.size());
    }
    std::vector<uint8_t> merged(end - start);
    for (auto it = first; it != last; ++it)
        std::copy(it->second.begin(), it->second.end(),
                  merged.begin() + static_cast<std::ptrdiff_t>(it->first - start));
    std::copy(bytes.begin(), bytes.end(),
              merged.begin() + static_cast<std::ptrdiff_t>(address - start));
    regions_.erase(first, last);
    regions_.emplace(start, std::move(merged));
}

}  // namespace zvsim
