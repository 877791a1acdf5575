// SHA-256 digests for the report, as lower-case hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zvsim {

std::string sha256Hex(const uint8_t* data, size_t size);
inline std::string sha256Hex(const std::vector<uint8_t>& bytes) {
    return sha256Hex(bytes.data(), bytes.size());
}

}  // namespace zvsim
