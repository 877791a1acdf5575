// Value streams a host asked for (command 93). A key is the low 32 bits of
// the host's stream key: module, command, option and index, 0xFF = any.
// Samples go back on the link that asked.
#pragma once

#include <cstdint>
#include <vector>

namespace zvsim {

struct StreamKey {
    uint8_t module, command, option, index;

    static StreamKey fromWord(uint32_t word);
    bool matches(uint8_t module, uint8_t command, uint8_t option, uint8_t index) const;
};

struct StreamSubscription {
    uint32_t key;
    uint32_t connection;
};

class StreamTable {
  public:
    void enable(uint32_t key, uint32_t connection);
    // Removes the key and every key it covers.
    void disable(uint32_t key);
    void dropConnection(uint32_t connection);
    void clear() { subscriptions_.clear(); }
    bool any() const { return !subscriptions_.empty(); }
    const std::vector<StreamSubscription>& subscriptions() const { return subscriptions_; }

  private:
    std::vector<StreamSubscription> subscriptions_;
};

}  // namespace zvsim
