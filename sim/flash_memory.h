// The module's flash as the upgrade writes it: contiguous written regions,
// merged when writes touch or overlap.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace zvsim {

class FlashMemory {
  public:
    void write(uint32_t address, const std::vector<uint8_t>& bytes);
    // Start address -> bytes, in address order.
    const std::map<uint64_t, std::vector<uint8_t>>& regions() const { return regions_; }

  private:
    std::map<uint64_t, std::vector<uint8_t>> regions_;
};

}  // namespace zvsim
