// Packet log: a fixed-size ring of records in memory into which a link copies
// the frames it sends and receives, and the application adds text. A logger
// thread (aLogger.h) usually drains it into a file.
//
// A record is a type byte, a length byte and that many bytes. When the ring
// is full the oldest records make room for the new one.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// Record types.
inline constexpr uint8_t aPACKETLOG_SENT = 1;      // a frame the link wrote
inline constexpr uint8_t aPACKETLOG_RECEIVED = 2;  // a frame the link read
inline constexpr uint8_t aPACKETLOG_TEXT = 3;      // text from the application

inline constexpr uint32_t aPACKETLOG_DEFAULT_SIZE = 65536;
inline constexpr uint32_t aPACKETLOG_MAX_SIZE = 64u * 1024u * 1024u;
// Longest record body; its length is stored in one byte.
inline constexpr uint32_t aPACKETLOG_MAX_RECORD = 255;

typedef struct aPacketLog {
    uint8_t enabled;  // set while the link records frames into it
    uint8_t* ring;
    uint32_t capacity;
    uint32_t read;   // oldest record
    uint32_t write;  // where the next record goes; read == write: empty
} aPacketLog;

// Empty, disabled log; null for a capacity of 0 or above
// aPACKETLOG_MAX_SIZE, or without memory. One byte of the ring always stays
// free, so a record needs capacity > length + 2.
aPacketLog* aPacketLog_Create(uint32_t capacity);

// Frees the log and clears the caller's pointer; a missing log gives 0.
aErr aPacketLog_Destroy(aPacketLog** log);

// Appends a record, dropping the oldest ones as needed. aErrOverrun (nothing
// written) when the record can never fit; aErrParam for no log, a length
// above 255 or missing bytes.
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes);

// Takes the oldest record: its type into *type, its length into *length and
// its bytes into buffer, whose size is *length on entry. aErrNotFound when
// empty; aErrOverrun when the buffer is too small (type and length are
// reported, the record stays).
aErr aPacketLog_Get(aPacketLog* log, int32_t* type, uint32_t* length, uint8_t* buffer);

// Per-link operations. Each returns aErrParam for an unregistered link id.

// Capacity for the link's log when it is created: aErrParam above
// aPACKETLOG_MAX_SIZE, aErrBusy when the log exists; a negative size means
// the default.
aErr aLink_PacketDebug_SetLogSize(int32_t linkId, int32_t size);

// Creates the log when missing (aErrResource when it cannot be made) and
// starts recording frames into it.
aErr aLink_PacketDebug_Enable(int32_t linkId);

// Stops recording frames; the records kept can still be read and the
// application can still write. aErrNotReady without a log.
aErr aLink_PacketDebug_Disable(int32_t linkId);

// aPacketLog_Get on the link's log; aErrNotReady without a log.
aErr aLink_PacketDebug_Read(int32_t linkId, int32_t* type, uint32_t* length, uint8_t* buffer);

// aPacketLog_Put on the link's log; aErrNotReady without a log.
aErr aLink_PacketDebug_Write(int32_t linkId, uint8_t type, uint32_t length, const uint8_t* bytes);

// Used by the link engine: records a frame into the link's log when the log
// exists and is enabled.
struct aLinkRecord;
void aPacketDebug_RecordFrame(aLinkRecord* link, uint8_t type, const aPacket* packet);
