#include "aPacket.h"

#include <new>

#include "aBytes.h"

namespace {

constexpr aPacket kTemplate = {aPACKET_MARKER, 0, 0, 0, {}};

// Offsets of the UEI header bytes inside the data.
constexpr uint8_t kCmdByte = 0;
constexpr uint8_t kOptionByte = 1;
constexpr uint8_t kSpecifierByte = 2;

constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kIndexMask = 0x1F;

bool sValid(const aPacket* packet) {
    return packet && packet->marker == aPACKET_MARKER;
}

aPacket* sAllocate() {
    return new (std::nothrow) aPacket(kTemplate);
}

// Shared body of the three header getters.
aErr sGetDataByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
    if (!out) return aErrParam;
    if (!sValid(packet) || packet->length <= position) return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

}  // namespace

aPacket* aPacket_Create(void) {
    return sAllocate();
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* packet = sAllocate();
    if (!packet) return nullptr;
    zv::ByteReader in(data, length);
    in.bytes(packet->data, length);
    packet->address = address;
    packet->length = length;
    packet->fill = static_cast<uint8_t>(length + aPACKET_HEADER);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!sValid(packet)) return nullptr;
    aPacket* copy = sAllocate();
    if (!copy) return nullptr;
    *copy = *packet;
    return copy;
}

aErr aPacket_Reset(aPacket* packet) {
    if (!sValid(packet)) return aErrParam;
    *packet = kTemplate;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!sValid(packet)) return aErrParam;

    // Saturate one past the frame limit so a long run of garbage can never wrap
    // the counter back into the accepting range.
    if (packet->fill <= aPACKET_MAX_FRAME) ++packet->fill;
    if (packet->fill > aPACKET_MAX_FRAME) return aErrOverrun;

    if (packet->address == 0) {
        if (byte == 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        packet->length = byte;
        return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
    }
    if (packet->fill > packet->length + aPACKET_HEADER) return aErrPacket;
    // fill is at most 30 here, so the position is at most 27.
    const size_t position = packet->fill - 1u - aPACKET_HEADER;
    if (position >= sizeof packet->data) return aErrPacket;
    packet->data[position] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return sValid(packet) && packet->fill == packet->length + aPACKET_HEADER;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count) {
    if (!sValid(packet) || !buffer) return aErrParam;
    const size_t frame = size_t{packet->length} + aPACKET_HEADER;
    if (size < frame) return aErrOverrun;

    // A refused length byte can sit in a half-built record; its data cannot be
    // read, so nothing is written for it.
    zv::ByteReader in(packet->data, sizeof packet->data);
    const uint8_t* data = in.view(packet->length);
    if (!data) return aErrPacket;

    zv::ByteWriter out(buffer, size);
    out.u8(packet->address);
    out.u8(packet->length);
    out.bytes(data, packet->length);
    if (!out.ok()) return aErrOverrun;
    if (count) *count = frame;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    return sGetDataByte(packet, kCmdByte, 0xFF, cmd);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return sGetDataByte(packet, kOptionByte, kOptionMask, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return sGetDataByte(packet, kSpecifierByte, kIndexMask, index);
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !*packet) return aErrParam;
    // Destruction clears the marker, as for every record of the library.
    (*packet)->marker = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}
