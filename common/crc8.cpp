#include "crc8.h"

#include <array>

#include "aBytes.h"

namespace {

// The reflected form of 0x31, as the bus shifts least significant bit first.
constexpr uint8_t kReflectedPolynomial = 0x8C;

constexpr std::array<uint8_t, 256> sMakeTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ kReflectedPolynomial)
                            : static_cast<uint8_t>(crc >> 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> _crc8LUT = sMakeTable();

}  // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte) {
    return _crc8LUT[static_cast<uint8_t>(crc ^ byte)];
}

uint8_t crc8_create(const uint8_t* data, size_t length) {
    zv::ByteReader in(data, length);
    uint8_t crc = 0;
    while (!in.atEnd()) crc = crc8_update(crc, in.u8());
    return crc;
}
