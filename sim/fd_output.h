// Bytes waiting to go out on a non-blocking descriptor. Writes go straight
// out when they can; the rest waits for POLLOUT. A peer that stops reading
// loses output beyond a bound rather than growing memory without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zvsim {

class FdOutput {
  public:
    static constexpr size_t kLimit = 1u << 20;

    // Queues and writes what it can; false when the descriptor failed.
    bool write(int fd, const std::vector<uint8_t>& bytes);
    // Writes queued bytes after POLLOUT; false when the descriptor failed.
    bool flush(int fd);
    bool pending() const { return !queue_.empty(); }
    size_t dropped() const { return dropped_; }
    void clear() { queue_.clear(); }

  private:
    std::vector<uint8_t> queue_;
    size_t dropped_ = 0;
};

}  // namespace zvsim
