// Packet FIFOs: the hand-over point between the library's threads.
//
// A FIFO is named by a numeric id from a process-wide registry (0 = none). It
// keeps its own copy of every packet put, and every packet taken out is a new
// copy that the taker releases with aPacket_Destroy. Any thread may call any
// operation; a FIFO destroyed while others wait on it wakes them and is freed
// once the last of them has returned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoId;

// Accepts a packet by returning true. Runs with the FIFO locked: it must not
// call back into the same FIFO.
typedef bool (*aPacketFilter)(const aPacket* packet, void* ref);

// Ends a wait early when it returns true. Runs with the FIFO locked, like a
// filter; it is evaluated when the wait begins and after every wake-up.
typedef bool (*aPacketFifoAbort)(void* ref);

// A put that makes a FIFO longer than this empties it.
inline constexpr size_t aPACKETFIFO_CAPACITY = 1000;

// New FIFO id; 0 when the FIFO cannot be made. The first id is 1.
aPacketFifoId aPacketFifo_Create(void);

// Unregisters the FIFO, releases its packets and wakes its waiters, then
// clears the caller's id. aErrParam for a null address, aErrNotFound for an
// unregistered id.
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Queued packets; 0 for an unregistered id.
size_t aPacketFifo_GetLength(aPacketFifoId id);

// Queues a copy of the packet. aErrParam for an unregistered id or an invalid
// packet, aErrResource without memory. The put that would hold the 1001st
// packet empties the FIFO instead and still returns 0.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// The oldest packet, removed; null when empty or unregistered.
aPacket* aPacketFifo_Get(aPacketFifoId id);

// Like Get, waiting up to timeoutMs for a packet.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMs);

// The oldest packet the filter accepts, removed; null when none does.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* ref);

// Like GetFirst, waiting up to timeoutMs. One call offers each packet to the
// filter at most once, in arrival order, however often it wakes.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* ref,
                                uint32_t timeoutMs);

// Await and AwaitFirst that also give up, returning null, as soon as
// abort(abortRef) is true. Whoever changes what abort looks at calls
// aPacketFifo_Wake afterwards so the waiters look again.
aPacket* aPacketFifo_AwaitUnless(aPacketFifoId id, uint32_t timeoutMs, aPacketFifoAbort abort,
                                 void* abortRef);
aPacket* aPacketFifo_AwaitFirstUnless(aPacketFifoId id, aPacketFilter filter, void* ref,
                                      uint32_t timeoutMs, aPacketFifoAbort abort, void* abortRef);

// Makes every waiter re-evaluate its abort condition. aErrParam for an
// unregistered id.
aErr aPacketFifo_Wake(aPacketFifoId id);

// Removes and releases every packet the filter accepts (each seen once, front
// to back; the others keep their order). Returns how many went; 0 for an
// unregistered id.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* ref);
