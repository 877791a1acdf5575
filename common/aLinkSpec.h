// How to reach one device: the transport kind and the 128-byte link
// specification, which discovery datagrams also carry byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef enum linkType : uint32_t {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AETHER = 4,
    AETHER_USB = 5,
    AETHER_TCPIP = 6,
    AETHER_SERIAL = 7,
} linkType;

inline bool isAETHER(uint32_t type) { return type >= AETHER && type <= AETHER_SERIAL; }

constexpr size_t kLinkSpecSize = 128;
constexpr size_t kLinkSpecPortLength = 100;

// In memory the record mirrors the wire layout; aLinkSpec_Encode/Decode do the
// byte order (u32 little-endian, ip_address kept in network order).
typedef struct linkSpec {
    uint32_t type;
    uint32_t serial_num;
    uint32_t module;
    uint32_t router;
    uint32_t router_serial_num;
    uint32_t model;
    union {
        struct {
            uint32_t usb_id;
        } usb;
        struct {
            uint32_t ip_address;  // network byte order
            uint32_t ip_port;
        } ip;
        struct {
            uint32_t baudrate;
            char port[kLinkSpecPortLength];
        } serial;
        uint8_t raw[104];
    } t;
} linkSpec;

static_assert(sizeof(linkSpec) == kLinkSpecSize, "linkSpec is a 128-byte wire record");

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
aErr aLinkSpec_Destroy(linkSpec** spec);

// Writes the record in its wire layout into 128 bytes; aErrSize when too short.
aErr aLinkSpec_Encode(const linkSpec* spec, uint8_t* out, size_t size);
// Reads a record from its wire layout; aErrSize when fewer than 128 bytes.
aErr aLinkSpec_Decode(const uint8_t* in, size_t size, linkSpec* spec);
