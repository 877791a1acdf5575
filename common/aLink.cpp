#include "aLink.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <string>

#include "aBytes.h"
#include "aDebug.h"
#include "aDefs.h"
#include "aLinkManagerInternal.h"
#include "aLinkSpec.h"
#include "aPacketDebug.h"
#include "aStreamsocket.h"
#include "aTime.h"
#include "unix_streamserial.h"
#include "unix_streamusb.h"

namespace {

using LinkRef = std::shared_ptr<aLinkRecord>;

constexpr uint32_t kStartPollMs = 1;
constexpr uint32_t kStartWaitMs = 2000;
constexpr uint32_t kSyncPollMs = 10;
constexpr uint32_t kSyncWaitMs = 2000;
constexpr uint32_t kSyncSettleMs = 100;  // lets the device's last echo answers arrive
constexpr uint32_t kWriterWakeMs = 1000;
constexpr uint32_t kIOErrorPauseMs = 100;
constexpr uint32_t kIOErrorSliceMs = 10;
constexpr int kEchoFrames = 6;
constexpr int kResetAttempts = 20;
constexpr uint32_t kResetPauseMs = 100;

// A pooled write: frames are appended while the buffer holds at most
// kPoolAppendLimit bytes, so the largest frame always still fits.
constexpr size_t kPoolSize = 4096;
constexpr size_t kPoolAppendLimit = kPoolSize - aPACKET_MAX_FRAME;

// Transports are expected to wait a little inside get when no byte is there.
// One that reports "nothing yet" at once would turn the reader into a busy
// loop; past kQuickMissesBeforePause such quick misses in a row (more than a
// COBS block produces while a frame is still arriving), the reader pauses
// between reads, up to kMaxIdlePauseMs.
constexpr uint64_t kQuickMissUs = 1000;
constexpr uint32_t kQuickMissesBeforePause = 64;
constexpr uint32_t kMaxIdlePauseMs = 10;

// Serial baud rates in the order of the serial stream's baud indexes.
constexpr uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

const uint8_t kNoData = 0;  // a valid pointer for frames without data

std::recursive_mutex& sCreationLock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

// ---- status and waits ----

// Waiters for answers only proceed while the status is kLinkRunning; any
// other status wakes them so they give up at once.
void sSetStatus(aLinkRecord* link, uint32_t status) {
    link->status = status;
    if (status != kLinkRunning) aPacketFifo_Wake(link->inbound);
}

bool sAnswerWaitAborted(void* ref) {
    const aLinkRecord* link = static_cast<const aLinkRecord*>(ref);
    return !link->running || link->status != kLinkRunning;
}

bool sWriterAborted(void* ref) {
    return !static_cast<const aLinkRecord*>(ref)->running;
}

// Sleeps up to `ms`, waking early when the link is told to stop.
void sPauseWhileRunning(const aLinkRecord* link, uint32_t ms) {
    for (uint32_t slept = 0; slept < ms && link->running; slept += kIOErrorSliceMs) {
        aTime_MSSleep(kIOErrorSliceMs);
    }
}

// ---- debug traces ----

std::string sDescribe(const aPacket* packet) {
    char text[8 + 3 * aPACKET_MAX_DATA + 32];
    zv::ByteReader data(packet->data, packet->length);
    int used =
        std::snprintf(text, sizeof text, "ADDR:%02X, LEN:%02X, [", packet->address, packet->length);
    while (!data.atEnd() && used > 0 && static_cast<size_t>(used) < sizeof text) {
        used += std::snprintf(text + used, sizeof text - used, "%02X ", data.u8());
    }
    return std::string(text) + "...]";
}

void sTracePacket(const char* where, int32_t id, const aPacket* packet) {
    if (!aDebug_IsOn(aDEBUG_PACKET)) return;
    aDebug_Printf(aDEBUG_PACKET, " %s(%d) %s\n", where, id, sDescribe(packet).c_str());
}

// ---- outbound frames ----

aErr sQueueFrame(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* data) {
    aPacket* packet = aPacket_CreateWithData(address, length, data ? data : &kNoData);
    if (!packet) return aErrMemory;
    const aErr err = aPacketFifo_Put(link->outbound, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr sForceRoute(aLinkRecord* link, uint8_t value) {
    aDebug_Printf(aDEBUG_LINK, " aLink_ForceRoute(%d)\n", link->id);
    return sQueueFrame(link, cmdFORCEROUTE, 1, &value);
}

// ---- reader ----

void sStartSync(aLinkRecord* link) {
    aDebug_Printf(aDEBUG_LINK, "syncStart\n");
    sSetStatus(link, kLinkSyncing);
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->assembling);
    aErr err = aErrNone;
    for (int i = 0; i < kEchoFrames; ++i) err = sQueueFrame(link, cmdSYNC, 0, nullptr);
    if (err == aErrNone) link->syncState = kSyncStateByte1;
}

// The stream is aligned again after two empty frames in a row from the same
// even address: the module's answers to the echo frames.
void sSyncByte(aLinkRecord* link, uint8_t byte) {
    aDebug_Printf(aDEBUG_LINK, "sByte %d\n", byte);
    switch (link->syncState) {
        case kSyncStateStart:
            aDebug_Printf(aDEBUG_LINK, "kSyncStateStart\n");
            sStartSync(link);
            break;
        case kSyncStateByte1:
            aDebug_Printf(aDEBUG_LINK, "kSyncStateByte1\n");
            if (byte != 0 && (byte & 1) == 0) {
                link->syncAddress = byte;
                link->syncState = kSyncStateByte2;
                aDebug_Printf(aDEBUG_LINK, "sync2\n");
            } else {
                sStartSync(link);
            }
            break;
        case kSyncStateByte2:
            aDebug_Printf(aDEBUG_LINK, "kSyncStateByte2\n");
            if (byte == 0) {
                link->syncState = kSyncStateByte3;
                aDebug_Printf(aDEBUG_LINK, "sync3\n");
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        case kSyncStateByte3:
            aDebug_Printf(aDEBUG_LINK, "kSyncStateByte3\n");
            if (byte == link->syncAddress) {
                link->syncState = kSyncStateByte4;
                aDebug_Printf(aDEBUG_LINK, "sync4\n");
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        case kSyncStateByte4:
            aDebug_Printf(aDEBUG_LINK, "kSyncStateByte4\n");
            if (byte == 0) {
                link->syncState = kSyncStateSynced;
                sSetStatus(link, kLinkRunning);
                aDebug_Printf(aDEBUG_LINK, "synced\n");
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        default:
            aDebug_Printf(aDEBUG_LINK, "sync default\n");
            sStartSync(link);
            break;
    }
}

// Answers a device heartbeat (two data bytes: 0, then state 0 or 1) with
// the state plus 2. aErrNotFound for anything else, which the caller queues.
aErr sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet) {
    zv::ByteReader data(packet->data, packet->length);
    const uint8_t command = data.u8();
    const uint8_t state = data.u8();
    if (!data.ok() || !data.atEnd() || command != cmdHB) return aErrNotFound;
    // Only the device's two states are heartbeats; 2 and 3 are host answers.
    if (state > 1 || link->heartbeat >= kHeartbeatUp) return aErrNotFound;
    aDebug_Printf(aDEBUG_PACKET,
                  " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                  link->id, packet->length, command, state);
    link->heartbeat = state == 0 ? kHeartbeatUp : kHeartbeatDown;
    aDebug_Printf(aDEBUG_PACKET, state == 0 ? "sending HB UP\n" : "sending HB DOWN\n");
    const uint8_t answer[] = {cmdHB, static_cast<uint8_t>(state + 2)};
    sQueueFrame(link, packet->address, sizeof answer, answer);
    link->heartbeat = kHeartbeatIdle;
    return aErrNone;
}

aErr sHandlePacket(aLinkRecord* link) {
    aPacket* packet = link->assembling;
    if (!aPacket_IsComplete(packet)) return aErrNone;
    aPacketDebug_RecordFrame(link, aPACKETLOG_RECEIVED, packet);

    bool consumed = false;
    if (aMutex_Lock(link->userFilterLock) == aErrNone) {
        if (link->userFilter) consumed = link->userFilter(packet, link->userFilterRef);
        aMutex_Unlock(link->userFilterLock);
    }
    aErr err = aErrNone;
    if (!consumed && sHandleHBBackChannel(link, packet) == aErrNotFound) {
        sTracePacket("sHandlePacket", link->id, packet);
        err = aPacketFifo_Put(link->inbound, packet);
    }
    aPacket_Reset(packet);
    return err;
}

void sInPipeProcess(void* raw) {
    aLinkRecord* link = static_cast<aLinkRecord*>(raw);
    link->heartbeat = kHeartbeatIdle;
    link->syncAddress = 1;
    link->syncState = kSyncStateSynced;  // the stream is presumed in step
    link->readerStarted = true;
    sSetStatus(link, kLinkRunning);
    aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", link->id);

    uint32_t quickMisses = 0;
    uint64_t readStartUs = 0;  // known only while idle
    while (link->running) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            const uint32_t status = link->status;
            if (status == kLinkSyncing || status == kLinkIOError) sStartSync(link);
            const uint64_t nowUs = aTime_GetMonotonicUSTicks();
            const bool quick = readStartUs != 0 && nowUs - readStartUs < kQuickMissUs;
            quickMisses = quick ? quickMisses + 1 : 0;
            if (quickMisses > kQuickMissesBeforePause) {
                const uint32_t pause = quickMisses - kQuickMissesBeforePause;
                sPauseWhileRunning(link, pause < kMaxIdlePauseMs ? pause : kMaxIdlePauseMs);
            }
            readStartUs = aTime_GetMonotonicUSTicks();
            continue;
        }
        quickMisses = 0;
        readStartUs = 0;
        if (err != aErrNone) {
            aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
                          link->id, err);
            sSetStatus(link, kLinkIOError);
            sPauseWhileRunning(link, kIOErrorPauseMs);
            continue;
        }
        if (link->status == kLinkSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        const aErr added = aPacket_AddByte(link->assembling, byte);
        const bool oddAddress = link->assembling->fill == 1 && (byte & 1) != 0;
        if (added != aErrNone || oddAddress) {
            aDebug_Printf(aDEBUG_LINK, "Out of sync\n");
            sStartSync(link);
            continue;
        }
        if (sHandlePacket(link) != aErrNone) sSetStatus(link, kLinkError);
    }
    aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", link->id);
}

// ---- writer ----

void sAppendFrame(aLinkRecord* link, zv::ByteWriter& out, const aPacket* packet) {
    uint8_t frame[aPACKET_MAX_FRAME];
    size_t count = 0;
    if (aPacket_GetBytes(packet, frame, sizeof frame, &count) != aErrNone) return;
    sTracePacket("sOutPipeProcess", link->id, packet);
    out.bytes(frame, count);
    aPacketDebug_RecordFrame(link, aPACKETLOG_SENT, packet);
}

// Writes the packet, and with pooling on every packet queued behind it that
// fits, in one stream write.
aErr sWritePackets(aLinkRecord* link, aPacket* first, std::array<uint8_t, kPoolSize>& buffer) {
    zv::ByteWriter out(buffer.data(), buffer.size());
    sAppendFrame(link, out, first);
    const bool pooled = link->pooled;
    while (pooled && out.position() <= kPoolAppendLimit) {
        aPacket* next = aPacketFifo_Get(link->outbound);
        if (!next) break;
        sAppendFrame(link, out, next);
        aPacket_Destroy(&next);
    }
    if (out.position() == 0) return aErrNone;
    const aErr err = aStream_Write(link->stream, buffer.data(), out.position());
    if (err != aErrNone) {
        aDebug_Printf(aDEBUG_LINK,
                      pooled ? "sOutPipeProcess error writing pooled: %d\n"
                             : "sOutPipeProcess error writing: %d\n",
                      err);
    }
    return err;
}

void sOutPipeProcess(void* raw) {
    aLinkRecord* link = static_cast<aLinkRecord*>(raw);
    std::array<uint8_t, kPoolSize> buffer;
    link->writerStarted = true;
    while (link->running) {
        aPacket* packet =
            aPacketFifo_AwaitUnless(link->outbound, kWriterWakeMs, sWriterAborted, link);
        if (!packet) continue;
        sWritePackets(link, packet, buffer);
        aPacket_Destroy(&packet);
    }
    // What was queued before the stop (the force-route frame among it) still
    // goes out; a transport that has failed ends this at once.
    while (aPacket* packet = aPacketFifo_Get(link->outbound)) {
        const aErr err = sWritePackets(link, packet, buffer);
        aPacket_Destroy(&packet);
        if (err != aErrNone) break;
    }
    aDebug_Printf(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", link->id);
}

// ---- lifecycle ----

// Tells both threads to end and joins them.
aErr sHalt(aLinkRecord* link) {
    link->running = false;
    aPacketFifo_Wake(link->outbound);
    aPacketFifo_Wake(link->inbound);
    aErr err = aErrNone;
    if (link->readerThread && aThread_Destroy(&link->readerThread) != 0) err = aErrUnknown;
    if (link->writerThread && aThread_Destroy(&link->writerThread) != 0) err = aErrUnknown;
    link->readerStarted = false;
    link->writerStarted = false;
    return err;
}

aErr sStart(aLinkRecord* link) {
    std::lock_guard<std::recursive_mutex> hold(link->lifecycle);
    aDebug_Printf(aDEBUG_LINK, " aLink_Start(%d)\n", link->id);
    if (link->running) return aErrNone;
    // A link never runs without a stream.
    if (!link->stream) return aErrConnection;

    link->running = true;
    sSetStatus(link, kLinkStarting);
    link->heartbeat = kHeartbeatIdle;
    link->readerStarted = false;
    link->writerStarted = false;
    link->readerThread = aThread_Create(sInPipeProcess, link);
    link->writerThread = aThread_Create(sOutPipeProcess, link);
    if (!link->readerThread || !link->writerThread) {
        sHalt(link);
        sSetStatus(link, kLinkStopped);
        aDebug_Printf(aDEBUG_LINK, " leaving aLink_Start(%d)==> error: %d\n", link->id,
                      aErrResource);
        return aErrResource;
    }
    for (uint32_t waited = 0;; waited += kStartPollMs) {
        if (link->readerStarted && link->writerStarted && link->status == kLinkRunning) break;
        if (waited >= kStartWaitMs) {
            aDebug_Printf(aDEBUG_LINK, " leaving aLink_Start(%d)==> error: %d\n", link->id,
                          aErrIndexRange);
            return aErrIndexRange;
        }
        aTime_MSSleep(kStartPollMs);
    }
    return sForceRoute(link, 1);
}

aErr sStop(aLinkRecord* link) {
    std::lock_guard<std::recursive_mutex> hold(link->lifecycle);
    aDebug_Printf(aDEBUG_LINK, " aLink_Stop(%d)\n", link->id);
    if (!link->readerThread && !link->writerThread) return aErrNone;
    sSetStatus(link, kLinkStopping);
    aErr err = aErrNone;
    // Tells the device the host is leaving; the writer sends it before it ends.
    if (link->readerThread && link->writerThread) err = sForceRoute(link, 0);
    if (sHalt(link) != aErrNone) err = aErrUnknown;
    aPacket_Reset(link->assembling);
    link->heartbeat = kHeartbeatIdle;
    sSetStatus(link, kLinkStopped);
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_Stop(%d)==>%d\n", link->id, err);
    return err;
}

// (Re)initialises the record around `stream` (which it owns from now on):
// new FIFOs and assembling packet; user filter, pooling and packet log
// cleared. The locks are made once and kept, since other threads may hold
// the record.
aErr sInit(aLinkEntry& entry, aStreamRef stream) {
    aLinkRecord* link = entry.link.get();
    aDebug_Printf(aDEBUG_LINK, "aLink_Init(%d, %p)\n", entry.id, static_cast<void*>(stream));
    link->id = entry.id;
    link->running = false;
    link->stream = stream;
    link->status = stream ? kLinkStopped : kLinkNoStream;
    link->readerStarted = false;
    link->writerStarted = false;
    link->heartbeat = kHeartbeatIdle;
    link->syncState = kSyncStateSynced;
    link->pooled = false;

    char name[64];
    if (!link->packetLogLock) {
        std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        link->packetLogLock = aMutex_Create(name);
    }
    if (!link->userFilterLock) {
        std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
        link->userFilterLock = aMutex_Create(name);
    }
    if (!link->packetLogLock || !link->userFilterLock) return aErrMemory;

    aMutex_Lock(link->packetLogLock);
    aPacketLog_Destroy(&link->packetLog);
    link->packetLogSize = 0;
    aMutex_Unlock(link->packetLogLock);
    aMutex_Lock(link->userFilterLock);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    aMutex_Unlock(link->userFilterLock);

    if (link->assembling) {
        aPacket_Reset(link->assembling);
    } else {
        link->assembling = aPacket_Create();
    }
    link->inbound = aPacketFifo_Create();
    link->outbound = aPacketFifo_Create();
    link->marker = aLINK_MARKER;
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_Init(%d, %p)\n", entry.id,
                  static_cast<void*>(stream));
    if (!link->assembling || !link->inbound || !link->outbound) return aErrMemory;
    return aErrNone;
}

void sDestroyFifos(aLinkRecord* link, aErr* outboundResult) {
    aPacketFifoId inbound = link->inbound.exchange(0);
    aPacketFifoId outbound = link->outbound.exchange(0);
    aPacketFifo_Destroy(&inbound);
    const aErr err = aPacketFifo_Destroy(&outbound);
    if (outboundResult) *outboundResult = err;
}

// Frees everything of an unregistered entry's link. The record's memory
// lives on while other threads still hold it; its marker says it is gone.
aErr sTeardown(const aLinkEntryRef& entry) {
    aLinkRecord* link = entry->link.get();
    if (!link) return aErrUnknown;
    std::lock_guard<std::recursive_mutex> hold(link->lifecycle);
    aDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%d) destroy link item\n", entry->id);
    if (aMutex_Lock(link->userFilterLock) == aErrNone) {
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
        aMutex_Unlock(link->userFilterLock);
    }
    sStop(link);
    // No server is ever attached yet: aLink_CreateServer is not available.
    if (entry->servedLink) {
        int32_t served = entry->servedLink;
        aLink_Destroy(&served);
    }
    aErr err = aErrNone;
    sDestroyFifos(link, &err);
    if (link->stream) aStream_Destroy(&link->stream);
    link->marker = 0;
    return err;
}

// Removes a link that never got a use (a failed creation).
void sDiscard(const aLinkEntryRef& entry) {
    if (aLinkManager_Extract(entry->id)) sTeardown(entry);
}

// Hands a newly made stream to the entry's record. On any failure the entry
// is removed again, the stream with it.
bool sAdopt(const aLinkEntryRef& entry, aErr streamErr, aStreamRef stream) {
    if (streamErr != aErrNone || !stream) {
        if (stream) aStream_Destroy(&stream);
        sDiscard(entry);
        return false;
    }
    if (sInit(*entry, stream) != aErrNone) {
        sDiscard(entry);
        return false;
    }
    return true;
}

// Adds a use, starts the link and hands back its id; on failure destroys it.
int32_t sAddUseAndStart(const aLinkEntryRef& entry, const char* failure) {
    int32_t id = entry->id;
    aLinkManager_ChangeUseCount(id, +1, nullptr);
    const aErr err = sStart(entry->link.get());
    if (err == aErrNone) return id;
    aDebug_Printf(aDEBUG_LINK, failure, err);
    aLink_Destroy(&id);
    return 0;
}

// Another use of an existing link of that kind and identifier: its id, 0
// when there is none, -1 when it is served by a link-sharing server (which
// must be reached as its client instead).
int32_t sReuse(int32_t ident0, int32_t type, bool refuseServed) {
    aLinkEntryRef entry = aLinkManager_LookupByIdentifier(ident0, type);
    if (!entry) return 0;
    if (refuseServed && entry->server) {
        aDebug_Printf(aDEBUG_LINK,
                      "This device is already being used as a \"SERVER\". \nYou must connect by "
                      "\"CLIENT\" \n");
        return -1;
    }
    if (aLinkManager_Acquire(entry->id) != aErrNone) return 0;
    const aLinkRecord* link = entry->link.get();
    aDebug_Printf(aDEBUG_LINK, "Using already created object:(0x%08X, running:%d, state=%d)\n",
                  static_cast<uint32_t>(ident0), link->running.load(), link->status.load());
    return entry->id;
}

aErr sRecreateStream(const aLinkEntry& entry, aStreamRef* stream) {
    switch (entry.type) {
        case USB:
            aDebug_Printf(aDEBUG_LINK, " recreate USB stream\n");
            return aStream_CreateUSB(static_cast<uint32_t>(entry.ident0), stream);
        case TCPIP:
            aDebug_Printf(aDEBUG_LINK, " recreate TCPIP stream\n");
            return aStream_CreateSocket(static_cast<uint32_t>(entry.ident1),
                                        static_cast<uint16_t>(entry.ident2), stream);
        default:
            // Serial links and links over a ready stream keep nothing to
            // rebuild their stream from; client streams need the link-sharing
            // server, which is not available yet.
            aDebug_Printf(aDEBUG_LINK, " recreate invalid stream type\n");
            return aErrMode;
    }
}

bool sRecreatable(int32_t type) {
    return type == USB || type == TCPIP;
}

}  // namespace

// ---- creation ----

int32_t aLink_CreateUSB(uint32_t serial) {
    aDebug_Printf(aDEBUG_LINK, " aLink_CreateUSB(%08X)\n", serial);
    std::lock_guard<std::recursive_mutex> hold(sCreationLock());
    const int32_t reused = sReuse(static_cast<int32_t>(serial), USB, true);
    if (reused != 0) return reused < 0 ? 0 : reused;

    aLinkEntryRef entry = aLinkManager_Create(static_cast<int32_t>(serial), 0, 0, USB);
    if (!entry) return 0;
    aDebug_Printf(aDEBUG_LINK, "USB sCreate(%08X)==>%d\n", serial, entry->id);
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateUSB(serial, &stream);
    if (!sAdopt(entry, err, stream)) {
        aDebug_Printf(aDEBUG_LINK, " aLink_CreateUSB() error creating stream %d\n", err);
        aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateUSB(bad)(%08X)\n", serial);
        return 0;
    }
    int32_t id = sAddUseAndStart(entry, " leaving aLink_CreateUSB(bad) start error: %d\n");
    if (id != 0 && aLink_Sync(id) != aErrNone) {
        aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateUSB(bad)(%08X)\n", serial);
        aLink_Destroy(&id);
    }
    return id;
}

int32_t aLink_CreateTCPIP(uint32_t serial, uint32_t address, uint16_t port) {
    aDebug_Printf(aDEBUG_LINK, "aLink_CreateTCPIP: SN: %d, address: %d, port: %d\n)",
                  static_cast<int32_t>(serial), static_cast<int32_t>(address), port);
    std::lock_guard<std::recursive_mutex> hold(sCreationLock());
    const int32_t reused = sReuse(static_cast<int32_t>(serial), TCPIP, true);
    if (reused != 0) return reused < 0 ? 0 : reused;

    aLinkEntryRef entry = aLinkManager_Create(static_cast<int32_t>(serial),
                                              static_cast<int32_t>(address), port, TCPIP);
    if (!entry) return 0;
    aDebug_Printf(aDEBUG_LINK, "TCPIP sCreate2 SN: %d, address: %d, port: %d, type: %d, id: %d\n)",
                  static_cast<int32_t>(serial), static_cast<int32_t>(address), port, TCPIP,
                  entry->id);
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateSocket(address, port, &stream);
    if (!sAdopt(entry, err, stream)) {
        aDebug_Printf(aDEBUG_LINK, " aLink_CreateTCPIP() error creating stream %d\n", err);
        aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateTCPIP(bad)(%08X)\n", serial);
        return 0;
    }
    return sAddUseAndStart(entry, " aLink_CreateTCPIP() BAD BAD Error: %d\n");
}

int32_t aLink_CreateSerial(uint32_t serial, const char* port, uint32_t baudRate) {
    aDebug_Printf(aDEBUG_LINK, " aLink_CreateSerial(%s)\n", port ? port : "(null)");
    int baudIndex = -1;
    for (size_t i = 0; i < sizeof kBaudRates / sizeof kBaudRates[0]; ++i) {
        if (kBaudRates[i] == baudRate) baudIndex = static_cast<int>(i);
    }
    if (!port || baudIndex < 0) {
        aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X)\n", serial);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> hold(sCreationLock());
    const int32_t reused = sReuse(static_cast<int32_t>(serial), SERIAL, false);
    if (reused > 0) return reused;

    aLinkEntryRef entry = aLinkManager_Create(static_cast<int32_t>(serial), 0, 0, SERIAL);
    if (!entry) return 0;
    aDebug_Printf(aDEBUG_LINK, "\nSerial sCreate(%08X)==>%d\n", serial, entry->id);
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateSerial_Packetized(port, baudIndex, 0, 0, 0, &stream);
    if (!sAdopt(entry, err, stream)) {
        aDebug_Printf(aDEBUG_LINK, " aLink_CreateSerial() error creating stream %d\n", err);
        return 0;
    }
    const int32_t id = sAddUseAndStart(entry, " aLink_CreateSerial() start error: %d\n");
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X) ==> %d\n", serial, id);
    return id;
}

int32_t aLink_CreateClient(uint32_t address, uint16_t port, int32_t reference) {
    aDebug_Printf(aDEBUG_LINK, "aLink_CreateClient - Address: %d, Port: %d, ref: %d)\n",
                  static_cast<int32_t>(address), port, reference);
    if (reference != 0) {
        if (aLinkManager_Acquire(reference) != aErrNone) {
            aDebug_Printf(aDEBUG_LINK, "The provided ref is invalid.\n");
            return 0;
        }
        aDebug_Printf(aDEBUG_LINK, "Using existing link - ConnectThroughLinkModule\n");
        return reference;
    }
    // A new client link needs the link-sharing server's client stream, which
    // does not exist yet.
    return 0;
}

int32_t aLink_CreateServer(int32_t served, uint16_t* port, uint32_t* networkInterface,
                           bool localOnly) {
    // The link-sharing server does not exist yet; sharing fails cleanly.
    (void)served;
    (void)port;
    (void)networkInterface;
    (void)localOnly;
    aDebug_Printf(aDEBUG_SERVER, "Failed to create server\n");
    return 0;
}

int32_t aLink_Create(aStreamRef stream) {
    aDebug_Printf(aDEBUG_LINK, "aLink_Create(%08X) OLD VERSION\n",
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(stream)));
    if (!aVALIDSTREAM(stream)) return 0;
    std::lock_guard<std::recursive_mutex> hold(sCreationLock());
    aLinkEntryRef entry = aLinkManager_Create(-1, 0, 0, aLINK_TYPE_STREAM);
    if (!entry) {
        aStream_Destroy(&stream);
        return 0;
    }
    aDebug_Printf(aDEBUG_LINK, "\n sCreate(%08X)==>%d\n", 0xFFFFFFFFu, entry->id);
    if (sInit(*entry, stream) != aErrNone) {
        sDiscard(entry);
        return 0;
    }
    return sAddUseAndStart(entry, " aLink_Create() error starting: %d\n");
}

aErr aLink_Destroy(int32_t* id) {
    if (!id) return aErrParam;
    const int32_t linkId = *id;
    *id = 0;
    aDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%d)\n", linkId);
    int16_t count = 0;
    if (aLinkManager_ChangeUseCount(linkId, -1, &count) != aErrNone) return aErrParam;
    if (count > 0) {
        aDebug_Printf(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", count);
        return aErrNone;
    }
    aLinkEntryRef entry = aLinkManager_Extract(linkId);
    if (!entry) return aErrParam;  // another caller is tearing it down
    return sTeardown(entry);
}

aErr aLink_Reset(int32_t id) {
    aDebug_Printf(aDEBUG_LINK, "aLink_Reset(%d)\n", id);
    aLinkEntryRef entry = aLinkManager_LookupByID(id);
    if (!entry || !entry->link || entry->link->marker != aLINK_MARKER) return aErrParam;
    aLinkRecord* link = entry->link.get();
    std::lock_guard<std::recursive_mutex> hold(link->lifecycle);
    sStop(link);
    sDestroyFifos(link, nullptr);
    aDebug_Printf(aDEBUG_LINK, " Destroy stream\n");
    if (link->stream) aStream_Destroy(&link->stream);

    aStreamRef stream = nullptr;
    aErr err = sRecreateStream(*entry, &stream);
    for (int attempt = 1; err != aErrNone && sRecreatable(entry->type) && attempt < kResetAttempts;
         ++attempt) {
        aTime_MSSleep(kResetPauseMs);
        err = sRecreateStream(*entry, &stream);
    }
    if (err != aErrNone) {
        aDebug_Printf(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", err);
        stream = nullptr;
    }
    const aErr initErr = sInit(*entry, stream);
    if (err != aErrNone) return err;  // stopped, no stream: nothing runs
    if (initErr != aErrNone) return initErr;
    return sStart(link);
}

aErr aLink_Start(int32_t id) {
    LinkRef link = aLinkManager_Record(id);
    if (!link) return aErrParam;
    return sStart(link.get());
}

aErr aLink_Sync(int32_t id) {
    LinkRef link = aLinkManager_Record(id);
    if (!link) return aErrParam;
    aDebug_Printf(aDEBUG_LINK, " aLink_Sync(%d)\n", id);
    // The reader sends the echo frames at its next byte or read timeout.
    sSetStatus(link.get(), kLinkSyncing);
    aErr err = aErrNotReady;
    for (uint32_t waited = 0; waited < kSyncWaitMs; waited += kSyncPollMs) {
        aTime_MSSleep(kSyncPollMs);
        if (link->status == kLinkRunning) {
            err = aErrNone;
            break;
        }
    }
    auto all = [](const aPacket*, void*) { return true; };
    aPacketFifo_DrainPackets(link->outbound, all, nullptr);
    aTime_MSSleep(kSyncSettleMs);
    aPacketFifo_DrainPackets(link->inbound, all, nullptr);
    return err;
}

aErr aLink_ForceRoute(int32_t id, uint8_t value) {
    aLinkEntryRef entry = aLinkManager_LookupByID(id);
    if (!entry) return aErrNotFound;
    if (!entry->link || entry->link->marker != aLINK_MARKER) return aErrParam;
    return sForceRoute(entry->link.get(), value);
}

// ---- traffic ----

aErr aLink_PutPacket(int32_t id, const aPacket* packet) {
    LinkRef link = aLinkManager_Record(id);
    if (!link) return aErrParam;
    return aPacketFifo_Put(link->outbound, packet);
}

aPacket* aLink_GetPacket(int32_t id) {
    LinkRef link = aLinkManager_Record(id);
    return link ? aPacketFifo_Get(link->inbound) : nullptr;
}

aPacket* aLink_AwaitPacket(int32_t id, uint32_t timeoutMs) {
    LinkRef link = aLinkManager_Record(id);
    return link ? aPacketFifo_Await(link->inbound, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* ref) {
    LinkRef link = aLinkManager_Record(id);
    return link ? aPacketFifo_GetFirst(link->inbound, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* ref, uint32_t timeoutMs) {
    LinkRef link = aLinkManager_Record(id);
    if (!link || sAnswerWaitAborted(link.get())) return nullptr;
    // The status is re-checked under the FIFO's lock at every wake-up, and
    // every status change wakes the FIFO, so a link that drops out of step
    // ends the wait at once.
    return aPacketFifo_AwaitFirstUnless(link->inbound, filter, ref, timeoutMs, sAnswerWaitAborted,
                                        link.get());
}

size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* ref) {
    LinkRef link = aLinkManager_Record(id);
    return link ? aPacketFifo_DrainPackets(link->inbound, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* ref) {
    LinkRef link = aLinkManager_Record(id);
    if (!link) return aErrParam;
    const aErr err = aMutex_Lock(link->userFilterLock);
    if (err != aErrNone) return err;
    link->userFilter = filter;
    link->userFilterRef = filter ? ref : nullptr;
    return aMutex_Unlock(link->userFilterLock);
}

aErr aLink_EnablePooledPackets(int32_t id, bool pooled) {
    LinkRef link = aLinkManager_Record(id);
    if (!link) return aErrParam;
    link->pooled = pooled;
    return aErrNone;
}

uint32_t aLink_GetStatus(int32_t id) {
    LinkRef link = aLinkManager_Record(id);
    return link ? link->status.load() : kLinkNoStream;
}
