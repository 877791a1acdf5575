// Factory data (command 0x5E): up to 16 items of bytes, read and written in
// chunks of 26. Flags byte: low 4 bits the item, 0x40 first chunk, 0x10
// write, 0x20 the end request carrying the total count.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "frame.h"

namespace zvsim {

class FactoryData {
  public:
    explicit FactoryData(std::map<uint8_t, std::vector<uint8_t>> items)
        : items_(std::move(items)) {}

    std::optional<Frame> handle(uint8_t address, const Frame& request);
    const std::map<uint8_t, std::vector<uint8_t>>& items() const { return items_; }

  private:
    enum class Mode { Idle, Reading, Writing };

    Frame readChunk(uint8_t address, uint8_t item, bool first);
    Frame writeChunk(uint8_t address, uint8_t item, bool first, zv::ByteReader& payload);
    Frame finish(uint8_t address, zv::ByteReader& args);

    std::map<uint8_t, std::vector<uint8_t>> items_;
    Mode mode_ = Mode::Idle;
    uint8_t item_ = 0;
    size_t position_ = 0;
    std::vector<uint8_t> incoming_;
};

}  // namespace zvsim
