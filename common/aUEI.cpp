#include "aUEI.h"

#include <algorithm>

#include "aBytes.h"

namespace {

constexpr uint8_t kStreamMinLength = 5;
constexpr uint8_t kFullBytesMin = ueiBYTES_CHUNK + ueiBYTES_OVERHEAD - 1;

// Commands whose packets are link-level or raw exchanges, never UEI messages.
constexpr uint8_t kNonPayload[] = {
    cmdHB,         1,          2,          cmdSLOT, cmdI2C,       9, cmdECHO, 24,
    cmdMODULEINFO, cmdFACTORY, cmdUPGRADE, cmdSYNC, cmdFORCEROUTE};

bool sValid(const aPacket* packet) {
    return packet && packet->marker == aPACKET_MARKER;
}

uint8_t sLastDataByte(const aPacket* packet) {
    if (!sValid(packet) || packet->length == 0 || packet->length > aPACKET_MAX_DATA) return 0;
    return packet->data[packet->length - 1];
}

}  // namespace

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    zv::ByteWriter out(buffer, sizeof value);
    out.u16be(value);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    zv::ByteWriter out(buffer, sizeof value);
    out.u32be(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
    zv::ByteReader in(buffer, sizeof(uint16_t));
    return in.u16be();
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
    zv::ByteReader in(buffer, sizeof(uint32_t));
    return in.u32be();
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; ++i) {
        zv::ByteReader in(&words[i], sizeof words[i]);
        words[i] = in.u32be();
    }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return sLastDataByte(packet) & ueiBYTES_SEQUENCE_MASK;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return sLastDataByte(packet) >> 7;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return sValid(packet) && packet->length >= kFullBytesMin && packet->length <= aPACKET_MAX_DATA;
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!sValid(packet)) return false;
    if (packet->length == 0) return true;
    return std::find(std::begin(kNonPayload), std::end(kNonPayload), packet->data[0]) !=
           std::end(kNonPayload);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return sValid(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    if (!sValid(packet) || packet->length < kStreamMinLength || packet->length > aPACKET_MAX_DATA)
        return false;
    zv::ByteReader in(packet->data, packet->length);
    in.u8();  // command, judged by the payload rule
    const uint8_t option = in.u8();
    const uint8_t specifier = in.u8();
    return aUEI_isUEIPayload(packet) && (option & (ueiOPTION_GET | ueiOPTION_SET)) == 0 &&
           (specifier & ueiSPECIFIER_STREAM) != 0;
}

aErr aUEI_BuildBytesPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                            const uint8_t* data, size_t total, const aUEI_PacketSink& send) {
    if ((!data && total > 0) || !send) return aErrParam;

    zv::ByteReader in(data, total);
    uint8_t counter = 0;
    bool more = false;
    do {
        const size_t len = std::min<size_t>(in.remaining(), ueiBYTES_CHUNK);
        more = in.remaining() > len;
        const uint8_t sequence = static_cast<uint8_t>((more ? ueiBYTES_CONTINUE : 0) |
                                                      (counter & ueiBYTES_SEQUENCE_MASK));

        uint8_t frame[aPACKET_MAX_DATA];
        zv::ByteWriter out(frame, sizeof frame);
        out.u8(command);
        out.u8(option);
        out.u8(specifier);
        out.bytes(in.view(len), len);
        out.u8(sequence);
        if (!in.ok() || !out.ok()) return aErrOverrun;

        aPacket* packet =
            aPacket_CreateWithData(module, static_cast<uint8_t>(out.position()), frame);
        if (!packet) return aErrResource;
        const aErr err = send(packet);
        aPacket_Destroy(&packet);
        if (err != aErrNone) return err;
        ++counter;
    } while (more);
    return aErrNone;
}
