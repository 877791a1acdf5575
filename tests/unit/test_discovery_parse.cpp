// The link specification record and the discovery datagrams, as bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "aLinkSpec.h"
#include "discover.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Little-endian u32 appended by hand, independent of the library's writer.
void le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes header(uint32_t type, uint32_t serial, uint32_t module, uint32_t router,
             uint32_t routerSerial, uint32_t model) {
    Bytes b;
    for (uint32_t v : {type, serial, module, router, routerSerial, model}) le32(b, v);
    return b;
}

Bytes padded(Bytes b) {
    b.resize(kLinkSpecSize, 0);
    return b;
}

Bytes encode(const linkSpec& spec) {
    Bytes out(kLinkSpecSize, 0xEE);
    EXPECT_EQ(aLinkSpec_Encode(&spec, out.data(), out.size()), aErrNone);
    return out;
}

linkSpec decode(const Bytes& bytes) {
    linkSpec spec{};
    EXPECT_EQ(aLinkSpec_Decode(bytes.data(), bytes.size(), &spec), aErrNone);
    return spec;
}

const uint32_t kAddress = inet_addr("192.0.2.17");  // network order

}  // namespace

TEST(DiscoveryParse, LinkSpecWireLayoutPerType) {
    linkSpec usb{};
    usb.type = USB;
    usb.serial_num = 0x40F5849A;
    usb.model = 7;
    usb.t.usb.usb_id = 0x40F5849A;
    Bytes usbBytes = header(USB, 0x40F5849A, 0, 0, 0, 7);
    le32(usbBytes, 0x40F5849A);

    linkSpec tcp{};
    tcp.type = TCPIP;
    tcp.serial_num = 0x12345678;
    tcp.module = 4;
    tcp.router = 4;
    tcp.router_serial_num = 0x12345678;
    tcp.model = 27;
    tcp.t.ip.ip_address = kAddress;
    tcp.t.ip.ip_port = 40123;
    Bytes tcpBytes = header(TCPIP, 0x12345678, 4, 4, 0x12345678, 27);
    for (uint8_t octet : {192, 0, 2, 17}) tcpBytes.push_back(octet);  // the address as sent
    le32(tcpBytes, 40123);

    linkSpec serial{};
    serial.type = SERIAL;
    serial.serial_num = 0xCAFE;
    serial.t.serial.baudrate = 115200;
    std::strcpy(serial.t.serial.port, "/dev/ttyUSB0");
    Bytes serialBytes = header(SERIAL, 0xCAFE, 0, 0, 0, 0);
    le32(serialBytes, 115200);
    for (char c : std::string("/dev/ttyUSB0")) serialBytes.push_back(static_cast<uint8_t>(c));

    linkSpec network = tcp;
    network.type = AETHER_USB;
    Bytes networkBytes = tcpBytes;
    networkBytes[0] = AETHER_USB;

    const struct {
        const char* name;
        linkSpec spec;
        Bytes wire;
    } cases[] = {{"usb", usb, padded(usbBytes)},
                 {"tcpip", tcp, padded(tcpBytes)},
                 {"serial", serial, padded(serialBytes)},
                 {"network", network, padded(networkBytes)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(c.spec), c.wire);
        const linkSpec back = decode(c.wire);
        EXPECT_EQ(std::memcmp(&back, &c.spec, sizeof back), 0);
    }
}

TEST(DiscoveryParse, LinkSpecRefusesShortBuffersAndUnterminatedPorts) {
    linkSpec spec{};
    Bytes out(kLinkSpecSize - 1);
    EXPECT_EQ(aLinkSpec_Encode(&spec, out.data(), out.size()), aErrSize);
    EXPECT_EQ(aLinkSpec_Decode(out.data(), out.size(), &spec), aErrSize);

    Bytes wire = header(SERIAL, 1, 0, 0, 0, 0);
    le32(wire, 9600);
    wire.resize(kLinkSpecSize, 'x');  // a port path that never ends
    spec = decode(wire);
    EXPECT_EQ(std::strlen(spec.t.serial.port), kLinkSpecPortLength - 1);

    linkSpec* none = nullptr;
    EXPECT_EQ(aLinkSpec_Destroy(&none), aErrParam);
    linkSpec* made = aLinkSpec_Create(TCPIP);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(encode(*made), padded(header(TCPIP, 0, 0, 0, 0, 0)));
    linkSpec* copy = aLinkSpec_Copy(made);
    EXPECT_EQ(aLinkSpec_Destroy(&made), aErrNone);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

TEST(DiscoveryParse, LegacyRequestAndReplies) {
    Bytes request(kLegacyDiscoverySize, 0xEE);
    ASSERT_EQ(aLinkSpec_EncodeLegacyRequest(request.data(), request.size()), aErrNone);
    Bytes expected(kLegacyDiscoverySize, 0);
    expected[0] = 1;
    EXPECT_EQ(request, expected);
    EXPECT_EQ(aLinkSpec_EncodeLegacyRequest(request.data(), 15), aErrSize);

    // Byte 0 and bytes 8-11 and 13-15 carry nothing.
    const Bytes reply = {0x99, 6,    0x3B, 0x9C, 0x9A, 0x84, 0xF5, 0x40,
                         0x55, 0x55, 0x55, 0x55, 27,   0x55, 0x55, 0x55};
    const struct {
        size_t length;
        aErr result;
        uint32_t model;
    } cases[] = {{16, aErrNone, 27}, {13, aErrNone, 27}, {12, aErrNone, 255},
                 {8, aErrNone, 255}, {7, aErrSize, 0},   {0, aErrSize, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        linkSpec spec{};
        ASSERT_EQ(aLinkSpec_DecodeLegacyReply(reply.data(), c.length, kAddress, &spec), c.result);
        if (c.result != aErrNone) continue;
        Bytes wire = header(TCPIP, 0x40F5849A, 6, 6, 0x40F5849A, c.model);
        for (uint8_t octet : {192, 0, 2, 17}) wire.push_back(octet);
        le32(wire, 0x9C3B);
        EXPECT_EQ(encode(spec), padded(wire));
    }
}

TEST(DiscoveryParse, ProbeAndAnnouncements) {
    Bytes probe(kDiscoveryProbeSize);
    ASSERT_EQ(aLinkSpec_EncodeProbeRequest(probe.data(), probe.size()), aErrNone);
    EXPECT_EQ(probe, (Bytes{0xBA, 0xDC, 0xCD, 0xAB}));
    EXPECT_TRUE(aLinkSpec_IsProbeRequest(probe.data(), probe.size()));
    EXPECT_FALSE(aLinkSpec_IsProbeRequest(probe.data(), 3));
    probe.push_back(0);
    EXPECT_FALSE(aLinkSpec_IsProbeRequest(probe.data(), probe.size()));

    Bytes wire = header(AETHER_TCPIP, 0x1234, 2, 0, 0, 5);
    for (uint8_t octet : {127, 0, 0, 1}) wire.push_back(octet);
    le32(wire, 5555);
    wire = padded(wire);
    linkSpec spec{};
    ASSERT_EQ(aLinkSpec_DecodeAnnouncement(wire.data(), wire.size(), &spec), aErrNone);
    EXPECT_EQ(spec.type, AETHER_TCPIP);
    EXPECT_EQ(spec.t.ip.ip_address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(spec.t.ip.ip_port, 5555u);
    for (size_t length : {size_t{0}, kLinkSpecSize - 1, kLinkSpecSize + 1}) {
        Bytes other(length, 0);
        EXPECT_EQ(aLinkSpec_DecodeAnnouncement(other.data(), other.size(), &spec), aErrSize)
            << length;
    }
}

TEST(DiscoveryParse, UsbSerialStringMustBeEightHexDigits) {
    const struct {
        const char* text;
        aErr result;
        uint32_t serial;
    } cases[] = {{"40F5849A", aErrNone, 0x40F5849A}, {"0badf00d", aErrNone, 0x0BADF00D},
                 {"40F5849", aErrParse, 0},          {"40F5849AB", aErrParse, 0},
                 {"40F5849G", aErrParse, 0},         {"40F5 49A", aErrParse, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        linkSpec spec{};
        ASSERT_EQ(aLinkSpec_FromUSBDescriptor(c.text, std::strlen(c.text), 0x0113, &spec),
                  c.result);
        if (c.result != aErrNone) continue;
        Bytes wire = header(USB, c.serial, 0, 0, 0, 0x13);
        le32(wire, c.serial);
        EXPECT_EQ(encode(spec), padded(wire));
    }
}

TEST(DiscoveryParse, SameEndpointComparesTypeSerialAddressAndPort) {
    linkSpec a{};
    a.type = AETHER_USB;
    a.serial_num = 1;
    a.t.ip.ip_address = kAddress;
    a.t.ip.ip_port = 9000;
    linkSpec b = a;
    b.module = 8;  // not part of the endpoint
    b.model = 3;
    EXPECT_TRUE(aLinkSpec_SameEndpoint(&a, &b));
    for (int field = 0; field < 4; ++field) {
        linkSpec c = a;
        if (field == 0) c.type = AETHER_TCPIP;
        if (field == 1) c.serial_num = 2;
        if (field == 2) c.t.ip.ip_address = htonl(INADDR_LOOPBACK);
        if (field == 3) c.t.ip.ip_port = 9001;
        EXPECT_FALSE(aLinkSpec_SameEndpoint(&a, &c)) << field;
    }
}

TEST(DiscoveryParse, InterfaceText) {
    char text[16];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(kAddress, text, sizeof text), 10u);
    EXPECT_STREQ(text, "192.0.2.17");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(kAddress, text, 15), 0u);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(kAddress, nullptr, 16), 0u);
}
