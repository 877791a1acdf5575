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
