// Collects a byte array the host sends as UEI bytes packets. Packets must come
// in sequence (0, 1, ... wrapping at 128); a packet with sequence 0 always
// starts a new array, so a host that gave up half way can start over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "aError.h"
#include "uei_messages.h"

namespace zvsim {

class UeiBytesAssembler {
  public:
    enum class Step { Incomplete, Complete, Failed };

    // Adds one packet for (command, option, index). On Complete `bytes` holds
    // the array; on Failed `error` says why and the partial array is dropped.
    Step add(const UeiRequest& request, size_t limit, std::vector<uint8_t>& bytes, aErr& error);
    void reset() { active_ = false; }

  private:
    bool active_ = false;
    uint32_t key_ = 0;
    uint8_t next_ = 0;
    bool failed_ = false;  // a failed array stays failed until sequence 0
    std::vector<uint8_t> bytes_;
};

}  // namespace zvsim
