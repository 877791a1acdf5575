#include "aPacketDebug.h"

#include <cstdio>
#include <new>

#include "aLinkManagerInternal.h"

namespace {

// Header bytes in front of a record's body: type and length.
constexpr uint32_t kRecordHeader = 2;

uint32_t sUsed(const aPacketLog* log) {
    return (log->write + log->capacity - log->read) % log->capacity;
}

uint8_t sByteAt(const aPacketLog* log, uint32_t position) {
    return log->ring[position % log->capacity];
}

void sDropOldest(aPacketLog* log) {
    const uint32_t length = sByteAt(log, log->read + 1);
    log->read = (log->read + kRecordHeader + length) % log->capacity;
}

void sAppend(aPacketLog* log, uint8_t byte) {
    log->ring[log->write] = byte;
    log->write = (log->write + 1) % log->capacity;
}

// Runs `operation` on the link's log under its lock.
template <typename Operation>
aErr sWithLog(int32_t linkId, Operation operation) {
    std::shared_ptr<aLinkRecord> link = aLinkManager_Record(linkId);
    if (!link) return aErrParam;
    if (aMutex_Lock(link->packetLogLock) != aErrNone) return aErrResource;
    const aErr err = operation(*link);
    aMutex_Unlock(link->packetLogLock);
    return err;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t capacity) {
    if (capacity == 0 || capacity > aPACKETLOG_MAX_SIZE) return nullptr;
    aPacketLog* log = new (std::nothrow) aPacketLog{};
    if (!log) return nullptr;
    log->ring = new (std::nothrow) uint8_t[capacity];
    if (!log->ring) {
        delete log;
        return nullptr;
    }
    log->capacity = capacity;
    return log;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (!log || !*log) return aErrNone;
    (*log)->enabled = 0;
    delete[](*log)->ring;
    delete *log;
    *log = nullptr;
    return aErrNone;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes) {
    if (!log || length > aPACKETLOG_MAX_RECORD || (length && !bytes)) return aErrParam;
    const uint32_t needed = length + kRecordHeader;
    uint32_t free = log->capacity - sUsed(log);
    // The last free byte is never used, so a full ring still reads as
    // non-empty.
    while (log->capacity > needed && free <= needed) {
        sDropOldest(log);
        free = log->capacity - sUsed(log);
    }
    if (free <= needed) return aErrOverrun;
    sAppend(log, type);
    sAppend(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; ++i) sAppend(log, bytes[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, int32_t* type, uint32_t* length, uint8_t* buffer) {
    if (!log || !type || !length) return aErrParam;
    if (log->read == log->write) return aErrNotFound;
    const uint32_t recordLength = sByteAt(log, log->read + 1);
    const uint32_t room = *length;
    *type = sByteAt(log, log->read);
    *length = recordLength;
    if (room < recordLength) return aErrOverrun;
    if (recordLength && !buffer) return aErrParam;
    for (uint32_t i = 0; i < recordLength; ++i)
        buffer[i] = sByteAt(log, log->read + kRecordHeader + i);
    log->read = (log->read + kRecordHeader + recordLength) % log->capacity;
    return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(int32_t linkId, int32_t size) {
    if (size > static_cast<int64_t>(aPACKETLOG_MAX_SIZE)) return aErrParam;
    return sWithLog(linkId, [size](aLinkRecord& link) {
        if (link.packetLog) return aErrBusy;
        link.packetLogSize = size < 0 ? 0 : static_cast<uint32_t>(size);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Enable(int32_t linkId) {
    return sWithLog(linkId, [](aLinkRecord& link) {
        if (link.packetLogSize == 0) link.packetLogSize = aPACKETLOG_DEFAULT_SIZE;
        if (!link.packetLog) link.packetLog = aPacketLog_Create(link.packetLogSize);
        if (!link.packetLog) return aErrResource;
        link.packetLog->enabled = 1;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Disable(int32_t linkId) {
    return sWithLog(linkId, [](aLinkRecord& link) {
        if (!link.packetLog) return aErrNotReady;
        link.packetLog->enabled = 0;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(int32_t linkId, int32_t* type, uint32_t* length, uint8_t* buffer) {
    return sWithLog(linkId, [=](aLinkRecord& link) {
        if (!link.packetLog) return aErrNotReady;
        return aPacketLog_Get(link.packetLog, type, length, buffer);
    });
}

aErr aLink_PacketDebug_Write(int32_t linkId, uint8_t type, uint32_t length, const uint8_t* bytes) {
    return sWithLog(linkId, [=](aLinkRecord& link) {
        if (!link.packetLog) return aErrNotReady;
        return aPacketLog_Put(link.packetLog, type, length, bytes);
    });
}

void aPacketDebug_RecordFrame(aLinkRecord* link, uint8_t type, const aPacket* packet) {
    if (!link || !link->packetLogLock) return;
    uint8_t frame[aPACKET_MAX_FRAME];
    size_t count = 0;
    if (aPacket_GetBytes(packet, frame, sizeof frame, &count) != aErrNone) return;
    if (aMutex_Lock(link->packetLogLock) != aErrNone) return;
    if (link->packetLog && link->packetLog->enabled) {
        aPacketLog_Put(link->packetLog, type, static_cast<uint32_t>(count), frame);
    }
    aMutex_Unlock(link->packetLogLock);
}
