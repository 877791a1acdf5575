// The link registry and the link record: internals shared by the link
// engine, its packet log and the link-sharing server. Applications use aLink.h.
//
// Registry entries and link records are reference counted: every lookup
// hands back a reference that keeps the record's memory alive for the
// caller's operation, even when another thread tears the link down meanwhile
// (the torn-down record's marker is cleared and its FIFO ids are dead, so
// the operation fails cleanly instead of touching freed memory).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "aError.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

struct aServer;  // link-sharing server

inline constexpr uint16_t aLINK_MARKER = 0xCEED;

// Synchronisation states of the reader.
enum aLinkSyncState : uint32_t {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

// Heartbeat answer states.
inline constexpr uint32_t kHeartbeatIdle = 0;
inline constexpr uint32_t kHeartbeatUp = 2;
inline constexpr uint32_t kHeartbeatDown = 3;

struct aLinkRecord {
    std::atomic<uint16_t> marker{0};
    int32_t id = 0;
    std::atomic<bool> running{false};
    std::atomic<uint32_t> status{0};
    std::atomic<aPacketFifoId> inbound{0};
    aPacket* assembling = nullptr;  // reader only (and start/stop while it is not running)
    std::atomic<aPacketFifoId> outbound{0};
    aThreadRef readerThread = nullptr;
    aThreadRef writerThread = nullptr;
    std::atomic<bool> readerStarted{false};
    std::atomic<bool> writerStarted{false};
    aStreamRef stream = nullptr;
    // Reader only.
    uint32_t heartbeat = kHeartbeatIdle;
    uint32_t syncState = kSyncStateSynced;
    uint8_t syncAddress = 0;
    // Guarded by packetLogLock.
    aPacketLog* packetLog = nullptr;
    uint32_t packetLogSize = 0;
    aMutexRef packetLogLock = nullptr;
    // Guarded by userFilterLock.
    aPacketFilter userFilter = nullptr;
    void* userFilterRef = nullptr;
    aMutexRef userFilterLock = nullptr;
    std::atomic<bool> pooled{false};
    // Serialises start, stop, reset and teardown of this link.
    std::recursive_mutex lifecycle;

    aLinkRecord() = default;
    aLinkRecord(const aLinkRecord&) = delete;
    aLinkRecord& operator=(const aLinkRecord&) = delete;
    // Releases what other threads may still reach through a reference: the
    // locks, the assembling packet and the packet log.
    ~aLinkRecord();
};

// Link kinds recorded in an entry (the linkType values; 0 for a link over a
// ready stream).
inline constexpr int32_t aLINK_TYPE_STREAM = 0;

struct aLinkEntry {
    int32_t id = 0;
    int32_t servedLink = 0;  // served device link released with this client link
    std::atomic<aServer*> server{nullptr};
    int32_t ident0 = 0;  // serial number (-1 for a link over a ready stream), or IPv4 address
    int32_t ident1 = 0;  // IPv4 address (TCPIP), port (client)
    int32_t ident2 = 0;  // port (TCPIP), client counter (client)
    int32_t type = 0;
    int16_t useCount = 0;  // guarded by the registry mutex
    std::shared_ptr<aLinkRecord> link;
};

using aLinkEntryRef = std::shared_ptr<aLinkEntry>;

// New registered entry with a fresh record and the next id (from 1); null
// without memory. Its use count is 0.
aLinkEntryRef aLinkManager_Create(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type);

aLinkEntryRef aLinkManager_LookupByID(int32_t id);
// Newest entry of that kind for that identifier.
aLinkEntryRef aLinkManager_LookupByIdentifier(int32_t ident0, int32_t type);
aLinkEntryRef aLinkManager_LookupByTrident(int32_t ident0, int32_t ident1, int32_t ident2);

// Unregisters the entry and hands it back; null when not registered.
aLinkEntryRef aLinkManager_Extract(int32_t id);

// Adds delta (16-bit arithmetic) to the use count; the new count goes to
// *count. aErrParam when the id is not registered.
aErr aLinkManager_ChangeUseCount(int32_t id, int16_t delta, int16_t* count);

// Adds one use to a link that has at least one: a link whose count has
// dropped to 0 is being torn down and cannot be taken up again (aErrBusy).
aErr aLinkManager_Acquire(int32_t id);

// The record of a registered, initialised link, or null.
std::shared_ptr<aLinkRecord> aLinkManager_Record(int32_t id);
