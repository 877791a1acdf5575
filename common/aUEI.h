// UEI (universal entity interface) messages: the request/response format by
// which the host reads and writes entity values on a module.
//
// Packet data bytes of a message: command, option, specifier, then the value
// most significant byte first (or the error code of an error answer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"

// Option byte (data byte 1).
inline constexpr uint8_t ueiOPTION_MASK = 0x3F;       // option code
inline constexpr uint8_t ueiOPTION_GET = 0x40;        // get request
inline constexpr uint8_t ueiOPTION_SET = 0x80;        // set request
inline constexpr uint8_t ueiOPTION_SET_REPLY = 0xC0;  // the device's answer to a set

// Specifier byte (data byte 2).
inline constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;  // entity index
inline constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;     // set in every host request
inline constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;      // stream packet
inline constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;       // error answer, code in data byte 3

// Data bytes in front of the value.
inline constexpr uint8_t ueiHEADER_LENGTH = 3;

// UEI bytes: up to 24 payload bytes between the header and a sequence byte.
inline constexpr uint8_t ueiBYTES_CHUNK = 24;
inline constexpr uint8_t ueiBYTES_OVERHEAD = ueiHEADER_LENGTH + 1;
inline constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;
inline constexpr uint8_t ueiBYTES_CONTINUE = 0x80;

// Value types of the `uei` record; the code equals the value width in bytes,
// except for the byte array.
inline constexpr int32_t ueiTYPE_VOID = 0;
inline constexpr int32_t ueiTYPE_BYTE = 1;
inline constexpr int32_t ueiTYPE_SHORT = 2;
inline constexpr int32_t ueiTYPE_INT = 4;
inline constexpr int32_t ueiTYPE_BYTES = 5;

// A byte array value: the caller's buffer and the receiving state.
typedef struct ueiBytes {
    uint8_t* buffer;      // caller's bytes; advanced while receiving
    uint8_t sequence;     // expected sequence number while receiving
    uint8_t more;         // last continue flag seen
    size_t bufferLength;  // bytes to send, or capacity while receiving
    size_t* received;     // counts the bytes received
} ueiBytes;

// One UEI message as the device API sees it; copied by value.
typedef struct uei {
    uint8_t module;     // module address
    uint8_t command;    // entity class code
    uint8_t option;     // option byte with its request or answer bits
    uint8_t specifier;  // after an answer with the error bit: the received specifier
    union {
        uint8_t byteVal;  // after an error answer: the device's error code
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytes;
    };
    int32_t type;  // ueiTYPE_*
} uei;

// Big-endian value store and retrieve on the value bytes of a message.
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Converts `count` words in place from wire order to host values.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Sequence number (low 7 bits of the last data byte); 0 for no packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
// Continue flag (bit 7 of the last data byte); 0 for no packet.
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True for a bytes packet carrying a full chunk (data length 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when data byte 0 is a command that never carries a UEI message
// (a packet without data bytes counts as such); false for no packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// True for a packet that carries a UEI message; false for no packet.
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a value stream packet: at least 5 data bytes, a UEI payload, no
// request bits in the option and the stream bit in the specifier.
bool aUEI_isStreamPacket(const aPacket* packet);

// Hands one built packet on. The packet stays owned by the builder and is
// destroyed once the callback returns, so a callback that keeps it copies it.
using aUEI_PacketSink = std::function<aErr(aPacket* packet)>;

// Cuts a byte array into UEI bytes packets addressed to `module`: command,
// option, specifier, up to 24 payload bytes and a sequence byte (bit 7 set
// while more packets follow, low 7 bits a counter from 0 wrapping at 128).
// An empty array gives one packet with sequence byte 0. Stops at the first
// error the sink returns and returns it; aErrResource when a packet cannot be
// created; aErrParam for a null array with a non-zero size or no sink.
aErr aUEI_BuildBytesPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                            const uint8_t* data, size_t total, const aUEI_PacketSink& send);
