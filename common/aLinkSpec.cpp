#include "aLinkSpec.h"

#include <cstdlib>
#include <cstring>

#include "aBytes.h"

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
    if (!spec) return nullptr;
    auto* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy) memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec) return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}

aErr aLinkSpec_Encode(const linkSpec* spec, uint8_t* out, size_t size) {
    if (!spec || !out) return aErrParam;
    zv::ByteWriter w(out, size);
    w.u32le(spec->type);
    w.u32le(spec->serial_num);
    w.u32le(spec->module);
    w.u32le(spec->router);
    w.u32le(spec->router_serial_num);
    w.u32le(spec->model);
    if (spec->type == TCPIP || isAETHER(spec->type)) {
        w.bytes(&spec->t.ip.ip_address, 4);  // already in network order
        w.u32le(spec->t.ip.ip_port);
        w.zeros(96);
    } else if (spec->type == SERIAL) {
        w.u32le(spec->t.serial.baudrate);
        w.bytes(spec->t.serial.port, kLinkSpecPortLength);
    } else if (spec->type == USB) {
        w.u32le(spec->t.usb.usb_id);
        w.zeros(100);
    } else {
        w.zeros(104);
    }
    return w.ok() ? aErrNone : aErrSize;
}

aErr aLinkSpec_Decode(const uint8_t* in, size_t size, linkSpec* spec) {
    if (!in || !spec) return aErrParam;
    zv::ByteReader r(in, size);
    if (r.remaining() < kLinkSpecSize) return aErrSize;
    linkSpec s{};
    s.type = r.u32le();
    s.serial_num = r.u32le();
    s.module = r.u32le();
    s.router = r.u32le();
    s.router_serial_num = r.u32le();
    s.model = r.u32le();
    if (s.type == TCPIP || isAETHER(s.type)) {
        r.bytes(&s.t.ip.ip_address, 4);
        s.t.ip.ip_port = r.u32le();
    } else if (s.type == SERIAL) {
        s.t.serial.baudrate = r.u32le();
        r.bytes(s.t.serial.port, kLinkSpecPortLength);
        s.t.serial.port[kLinkSpecPortLength - 1] = '\0';  // never trust the terminator
    } else if (s.type == USB) {
        s.t.usb.usb_id = r.u32le();
    }
    if (!r.ok()) return aErrSize;
    *spec = s;
    return aErrNone;
}

bool aLinkSpec_SameEndpoint(const linkSpec* a, const linkSpec* b) {
    if (!a || !b) return false;
    return a->type == b->type && a->serial_num == b->serial_num &&
           a->t.ip.ip_address == b->t.ip.ip_address && a->t.ip.ip_port == b->t.ip.ip_port;
}

aErr aLinkSpec_EncodeLegacyRequest(uint8_t* out, size_t size) {
    if (!out) return aErrParam;
    zv::ByteWriter w(out, size);
    w.u8(kLegacyDiscoveryRequestMarker);
    w.zeros(kLegacyDiscoverySize - 1);
    return w.ok() ? aErrNone : aErrSize;
}

aErr aLinkSpec_DecodeLegacyReply(const uint8_t* reply, size_t size, uint32_t sender,
                                 linkSpec* spec) {
    if (!reply || !spec) return aErrParam;
    zv::ByteReader r(reply, size);
    r.skip(1);
    const uint8_t module = r.u8();
    const uint16_t port = r.u16le();
    const uint32_t serial = r.u32le();
    if (!r.ok()) return aErrSize;
    r.skip(4);
    uint8_t model = r.u8();
    if (!r.ok()) model = kLegacyDiscoveryNoModel;

    linkSpec s{};
    s.type = TCPIP;
    s.serial_num = serial;
    s.router_serial_num = serial;
    s.module = module;
    s.router = module;
    s.model = model;
    s.t.ip.ip_address = sender;
    s.t.ip.ip_port = port;
    *spec = s;
    return aErrNone;
}

aErr aLinkSpec_EncodeProbeRequest(uint8_t* out, size_t size) {
    if (!out) return aErrParam;
    zv::ByteWriter w(out, size);
    return w.u32le(kDiscoveryProbeMagic) ? aErrNone : aErrSize;
}

bool aLinkSpec_IsProbeRequest(const uint8_t* data, size_t size) {
    zv::ByteReader r(data, size);
    const uint32_t magic = r.u32le();
    return r.ok() && r.atEnd() && magic == kDiscoveryProbeMagic;
}

aErr aLinkSpec_DecodeAnnouncement(const uint8_t* data, size_t size, linkSpec* spec) {
    if (!spec) return aErrParam;
    if (size != kLinkSpecSize) return aErrSize;
    return aLinkSpec_Decode(data, size, spec);
}

aErr aLinkSpec_FromUSBDescriptor(const char* serialText, size_t length, uint16_t productId,
                                 linkSpec* spec) {
    constexpr size_t kSerialDigits = 8;
    if (!serialText || !spec) return aErrParam;
    if (length != kSerialDigits) return aErrParse;
    uint32_t serial = 0;
    for (size_t i = 0; i < kSerialDigits; ++i) {
        const char c = serialText[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else
            return aErrParse;
        serial = (serial << 4) | digit;
    }
    linkSpec s{};
    s.type = USB;
    s.serial_num = serial;
    s.t.usb.usb_id = serial;
    s.model = productId & 0xFFu;
    *spec = s;
    return aErrNone;
}
