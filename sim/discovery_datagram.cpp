#include "discovery_datagram.h"

#include "aBytes.h"

namespace zvsim {
namespace {

constexpr uint8_t kRequestMarker = 1;

}  // namespace

bool isDiscoveryRequest(const uint8_t* data, size_t size) {
    zv::ByteReader r(data, size);
    return r.u8() == kRequestMarker && r.ok();
}

std::vector<uint8_t> discoveryReply(uint8_t moduleAddress, uint16_t tcpPort, uint32_t serial,
                                    uint8_t model) {
    std::vector<uint8_t> out(kDiscoverySize);
    zv::ByteWriter w(out.data(), out.size());
    w.u8(0);
    w.u8(moduleAddress);
    w.u16le(tcpPort);
    w.u32le(serial);
    w.zeros(4);
    w.u8(model);
    w.zeros(3);
    return out;
}

}  // namespace zvsim
