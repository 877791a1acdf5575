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

inline bool isAETHER(uint32_t type) {
    return type >= AETHER && type <= AETHER_SERIAL;
}

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

// True when both name the same reachable endpoint: type, serial number,
// IPv4 address and port. Discovery reports each endpoint once per run.
bool aLinkSpec_SameEndpoint(const linkSpec* a, const linkSpec* b);

// ---- Discovery datagrams ----

// Legacy Ethernet modules answer a 16-byte request (first byte 1, the rest
// 0) multicast to the group with a 16-byte reply to the reply port: byte 1
// module address, bytes 2-3 TCP port and bytes 4-7 serial number (both
// little-endian), byte 12 model.
inline constexpr size_t kLegacyDiscoverySize = 16;
inline constexpr uint8_t kLegacyDiscoveryRequestMarker = 1;
// Model reported for a reply that ends before its model byte.
inline constexpr uint8_t kLegacyDiscoveryNoModel = 0xFF;

// Writes the request; aErrSize when fewer than 16 bytes fit.
aErr aLinkSpec_EncodeLegacyRequest(uint8_t* out, size_t size);
// A TCPIP record from one reply and the address it came from (network
// order). aErrSize for a reply too short to hold the serial number.
aErr aLinkSpec_DecodeLegacyReply(const uint8_t* reply, size_t size, uint32_t sender,
                                 linkSpec* spec);

// Link-sharing servers on the local host answer a 4-byte probe (the u32
// 0xABCDDCBA, little-endian) with their 128-byte record; beacons carry the
// same record.
inline constexpr uint32_t kDiscoveryProbeMagic = 0xABCDDCBA;
inline constexpr size_t kDiscoveryProbeSize = 4;

aErr aLinkSpec_EncodeProbeRequest(uint8_t* out, size_t size);
bool aLinkSpec_IsProbeRequest(const uint8_t* data, size_t size);
// A record announced by a server; aErrSize unless exactly 128 bytes.
aErr aLinkSpec_DecodeAnnouncement(const uint8_t* data, size_t size, linkSpec* spec);

// A USB record from the device's serial-number string and product id: the
// string must be exactly 8 hexadecimal digits (aErrParse otherwise); the
// model is the product id's low byte.
aErr aLinkSpec_FromUSBDescriptor(const char* serialText, size_t length, uint16_t productId,
                                 linkSpec* spec);
