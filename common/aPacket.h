// Link packets: the unit that travels between host and device.
//
// On the wire a packet is its frame: address byte, length byte, then `length`
// data bytes (no checksum, no terminator). The record is heap allocated and
// only counts as a packet while its marker is aPACKET_MARKER.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

inline constexpr uint16_t aPACKET_MARKER = 0xBEEF;
// Data bytes a packet can carry; a length byte above this is refused.
inline constexpr uint8_t aPACKET_MAX_DATA = 28;
// Address and length bytes in front of the data.
inline constexpr uint8_t aPACKET_HEADER = 2;
// Longest frame on the wire.
inline constexpr uint8_t aPACKET_MAX_FRAME = aPACKET_MAX_DATA + aPACKET_HEADER;

typedef struct aPacket {
    uint16_t marker;  // aPACKET_MARKER while alive
    uint8_t fill;     // frame bytes accumulated so far (address and length included)
    uint8_t address;  // module address; 0 = no address byte yet while assembling
    uint8_t length;   // data bytes, 0 to aPACKET_MAX_DATA
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

// New zeroed packet; null when memory is exhausted.
aPacket* aPacket_Create(void);
// New complete packet holding a copy of `length` bytes; null for a null data
// pointer (whatever the length), a length above 28, or no memory.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// New packet with the same address, length and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);
// Clears fill, address, length and every data byte.
aErr aPacket_Reset(aPacket* packet);
// Appends one received frame byte. Any refusal leaves the record half built;
// the caller resets it before assembling the next frame.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True when valid and every byte of the frame has arrived.
bool aPacket_IsComplete(const aPacket* packet);
// Writes the frame into `buffer`. aErrOverrun (nothing written) when `size` is
// below length + 2. `count`, when not null, receives length + 2 on success.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count);
// Data byte 0.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
// Data byte 1 without its request bits.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
// Data byte 2 without its flag bits.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
// Frees the packet and clears the caller's pointer.
aErr aPacket_Destroy(aPacket** packet);
