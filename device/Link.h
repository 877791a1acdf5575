// The application's handle on one connection to a device: a link
// specification, the engine link made from it, and the request/response
// exchanges everything above it uses (UEI messages, raw command packets,
// store slots, factory data).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aUEI.h"
#include "packetfifo.h"

// 127.0.0.1 in network byte order.
inline constexpr uint32_t aETHER_LOOPBACK =
    std::endian::native == std::endian::little ? 0x0100007Fu : 0x7F000001u;

// Network configuration of a link; 12 bytes, copied by value.
typedef struct aEtherConfig {
    uint8_t enabled = 1;  // share direct links through a link-sharing server; allow network clients
    uint8_t fallback = 1;   // discoverAndConnect retries with the other transport family
    uint8_t localOnly = 1;  // the server serves on loopback only
    uint8_t reserved0 = 0;
    uint16_t assignedPort = 0;  // the server's port, filled in when a server is made
    uint16_t reserved1 = 0;
    uint32_t networkInterface = aETHER_LOOPBACK;  // network order; where to serve and discover
} aEtherConfig;

static_assert(sizeof(aEtherConfig) == 12, "aEtherConfig is a 12-byte record");

namespace Veltrina {
namespace Zentrovia {

// Waits of the exchanges, in milliseconds.
inline constexpr uint32_t kLinkAnswerTimeoutMs = 1000;
inline constexpr uint32_t kLinkLargeAnswerTimeoutMs = 4000;
// Byte arrays longer than this get the longer wait for their answer.
inline constexpr size_t kLinkLargePayload = 1000;
inline constexpr uint32_t kLinkSlotOpenTimeoutMs = 3000;
// Polls of 10 ms while a new engine link comes into step.
inline constexpr int kLinkWaitRounds = 200;
// Raw command packets: the command byte and at most this many data bytes.
inline constexpr uint8_t kLinkMaxPacketData = aPACKET_MAX_DATA - 1;
// Store slot writes carry at most this many bytes per packet.
inline constexpr size_t kLinkSlotChunk = 25;
// Factory data packets carry at most this many bytes after two header bytes.
inline constexpr size_t kLinkFactoryChunk = 26;

class Link {
  public:
    Link(const linkSpec& spec, const char* name);
    explicit Link(const char* name);
    virtual ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    aErr getConfig(aEtherConfig* config) const;
    // aErrMode while an engine link is held.
    aErr setConfig(const aEtherConfig& config);
    // aErrNotFound without a stored specification.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // aErrBusy while an engine link is held.
    aErr setLinkSpecifier(const linkSpec& spec);
    const char* getName() const;

    // Connects from the stored specification: aErrConfiguration without
    // one, aErrConnection when an engine link is already held or cannot be
    // made, else the wait for the link to come into step.
    aErr connect();
    // Finds the device (by serial number, or the first of the model when the
    // serial number is 0; model 0 takes any) and connects. When that fails
    // with aErrNotFound, aErrInitialization or aErrConnection and fallback is
    // on, USB and TCPIP retry once with network discovery, network types
    // with USB.
    aErr discoverAndConnect(linkType type, uint32_t serial, uint8_t model = 0);
    // Shares the other link's engine link (one more use of it), connecting
    // from this link's stored specification. aErrInitialization when the
    // other holds none.
    aErr connectThroughLinkModule(Link* other);
    bool isConnected() const;
    // The engine's status of the link; kLinkError (8) without one.
    uint32_t getStatus() const;
    aErr disconnect();
    aErr reset();

    // Address of the module at the other end (0 until learned);
    // aErrNotReady when not connected or nobody answers.
    aErr getModuleAddress(uint8_t* address);

    // Operations that talk to the device return aErrConnection while not
    // connected; UEI and raw packets need an even, non-zero module address
    // (aErrPacket).

    // Sends a request of the record's type: void, byte, short, int or bytes
    // (cut into packets of 24 bytes); any other type is aErrParam.
    aErr sendUEI(const uei& message);
    // With a subindex byte after the specifier; void, byte, short or int only.
    aErr sendUEI(const uei& message, uint8_t subindex);
    // Takes the first answer from the module with that command, option byte
    // (bare for a get, with 0xC0 for a set) and index, and decodes it into
    // the record: an error answer sets bit 0x80 of the specifier and puts the
    // device's code in byteVal. aErrTimeout when none comes within 1000 ms
    // (4000 ms for a byte array record above 1000 bytes).
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message);
    // The same wait with the caller's filter, which gets the record as its
    // reference and decodes what it accepts.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
                    aPacketFilter filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // A command byte followed by at most 27 data bytes.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // The first packet, from any module, whose data starts with the *length
    // bytes of `match`; all its data (up to 28 bytes) goes to `buffer` and
    // its length to *length. aErrTimeout after 1000 ms.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                       size_t length);
    // Reads the slot into the buffer; aErrOverrun (the buffer filled) when
    // the slot holds more.
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                         size_t bufferLength, size_t* unloadedLength);

    // Reads factory data item `command` (0 to 15); the buffer must be at least
    // one byte longer than the data (aErrOverrun otherwise).
    aErr getFactoryData(uint8_t module, uint8_t command, uint8_t* buffer, size_t bufferLength,
                        size_t* unloadedLength);
    aErr setFactoryData(uint8_t module, uint8_t command, const uint8_t* data, size_t length);

    aErr enablePooledPackets(bool enable);

    // Logs every frame the engine link sends and receives into the file;
    // aErrConfiguration without an engine link.
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    // The latest value a stream delivered for that entity option:
    // aErrNotFound when none was cached, aErrStreamStale when it was read
    // before.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);

    class impl;

  private:
    impl* m_impl;
};

}  // namespace Zentrovia
}  // namespace Veltrina
