// Legacy Ethernet discovery datagrams. The host multicasts a 16-byte request
// whose first byte is 1; every module answers with 16 bytes to the sender's
// address: byte 1 module address, bytes 2-3 TCP port (little-endian), bytes
// 4-7 serial number (little-endian), byte 12 model; the rest is zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zvsim {

inline constexpr size_t kDiscoverySize = 16;

bool isDiscoveryRequest(const uint8_t* data, size_t size);
std::vector<uint8_t> discoveryReply(uint8_t moduleAddress, uint16_t tcpPort, uint32_t serial,
                                    uint8_t model);

}  // namespace zvsim
