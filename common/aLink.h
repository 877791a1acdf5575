// Link engine: turns a byte stream to one device into a packet channel.
//
// Each link has an id (from 1; 0 = no link), a stream, an inbound and an
// outbound packet FIFO, a reader thread that rebuilds packets from the
// stream, keeps it aligned on frame boundaries, answers the device's
// heartbeats and queues every other packet, and a writer thread that sends
// queued packets. Links live in a process-wide registry with use counts: a
// second create for the same device returns the same id, and each create
// that returns an id needs one aLink_Destroy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

typedef enum aLinkStatus : uint32_t {
    kLinkStopped = 0,   // has a stream, threads not running
    kLinkStarting = 1,  // threads being started
    kLinkRunning = 2,   // in step with the device: the only status in which answers are awaited
    kLinkStopping = 3,
    kLinkSyncing = 4,   // aligning the byte stream on frame boundaries
    kLinkNoStream = 5,  // no stream (also for an unregistered id)
    kLinkIOError = 6,   // the last stream read failed: the device is gone or the transport broke
    kLinkError = 8,     // a received packet could not be queued
} aLinkStatus;

// Creation: each returns the link id, or 0 on any failure (nothing is left
// running then).

// USB link to the device with that serial number, started and synchronised.
// 0 when the device is served by a link-sharing server.
int32_t aLink_CreateUSB(uint32_t serial);
// TCP link to a network module (address in network byte order), started.
int32_t aLink_CreateTCPIP(uint32_t serial, uint32_t address, uint16_t port);
// Serial link (COBS-framed) at one of 2400, 4800, 9600, 19200, 38400, 57600,
// 115200, 230400 baud, started.
int32_t aLink_CreateSerial(uint32_t serial, const char* port, uint32_t baudRate);
// Link through a link-sharing server; a non-zero reference reuses that link.
int32_t aLink_CreateClient(uint32_t address, uint16_t port, int32_t reference);
// Link-sharing server for `served` plus a client link to it; returns the
// client link id.
int32_t aLink_CreateServer(int32_t served, uint16_t* port, uint32_t* networkInterface,
                           bool localOnly);
// Link over a ready stream, which it owns from then on (also on failure),
// started. Every call makes a new link.
int32_t aLink_Create(aStreamRef stream);

// Drops one use; the last one stops the link (the device gets the force-route
// frame 0) and frees it. aErrParam for an unregistered id. The caller's id
// is cleared in every case.
aErr aLink_Destroy(int32_t* id);

// Stops the link, recreates its stream and starts it again; the user
// filter, pooled flag and packet log are cleared. When the stream cannot be
// recreated (always so for serial links and links over a ready stream) the
// link is left stopped without a stream (status kLinkNoStream) and the
// creation error is returned (aErrMode for those kinds). aErrParam for an
// unregistered id.
aErr aLink_Reset(int32_t id);

// Starts the threads and queues the force-route frame 1. 0 when running
// already; aErrConnection without a stream; aErrResource when a thread
// cannot start; aErrIndexRange when the threads are not up within 2 s.
aErr aLink_Start(int32_t id);

// Brings the link into step with the device: echo frames until the device's
// answers line up, within 2 s (aErrNotReady otherwise). Both FIFOs are
// drained afterwards.
aErr aLink_Sync(int32_t id);

// Queues a force-route frame (address 0xAF) with the one data byte `value`.
// aErrNotFound for an unregistered id.
aErr aLink_ForceRoute(int32_t id, uint8_t value);

// Packet traffic. An unregistered id gives null, 0 or aErrParam.
aErr aLink_PutPacket(int32_t id, const aPacket* packet);
aPacket* aLink_GetPacket(int32_t id);
aPacket* aLink_AwaitPacket(int32_t id, uint32_t timeoutMs);
aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* ref);
// The first inbound packet the filter accepts, waiting up to timeoutMs while
// the link runs in step with the device; null at once, or as soon as the
// status leaves kLinkRunning (syncing, stopped, transport gone).
aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* ref, uint32_t timeoutMs);
size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* ref);

// Called on the reader thread for every received packet before it is
// queued; true consumes it. It must not block or wait for packets of the
// same link. A null filter removes it; a filter is never removed during a
// call.
aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* ref);

// On: bursts of queued packets go out in single stream writes of up to 4096
// bytes.
aErr aLink_EnablePooledPackets(int32_t id, bool pooled);

// The link's aLinkStatus; kLinkNoStream for an unregistered id.
uint32_t aLink_GetStatus(int32_t id);
