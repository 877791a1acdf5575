#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// One queued packet and the serial id it got from its FIFO.
struct SerialPacket {
    int64_t serial;
    std::unique_ptr<aPacket, aPacketDeleter> packet;
};

struct packetFifo {
    std::deque<SerialPacket> queue;
    std::condition_variable changed;
    std::mutex lock;
    std::atomic<bool> alive{true};
    // Serial id of the front packet, or nextId when empty: a new waiting
    // search has seen everything before it.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    using Position = std::deque<SerialPacket>::iterator;

    void syncWindow() { windowStart = queue.empty() ? nextId.load() : queue.front().serial; }

    void clearAndSyncWindow() {
        queue.clear();
        windowStart = nextId.load();
    }

    void eraseAndSyncWindow(Position position) {
        queue.erase(position);
        syncWindow();
    }

    void eraseAndSyncWindow(Position first, Position last) {
        queue.erase(first, last);
        syncWindow();
    }
};

using FifoRef = std::shared_ptr<packetFifo>;

struct Registry {
    std::map<aPacketFifoId, FifoRef> fifos;
    std::mutex lock;
    std::atomic<aPacketFifoId> sequentialId{0};
};

// Never destroyed: link threads may still use FIFOs while the process exits.
Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// Holds a reference for the caller's whole operation, so a concurrent
// destroy cannot free the FIFO under it.
FifoRef sGetFifo(aPacketFifoId id) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto found = registry.fifos.find(id);
    return found == registry.fifos.end() ? nullptr : found->second;
}

FifoRef sExtractFifo(aPacketFifoId id) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto found = registry.fifos.find(id);
    if (found == registry.fifos.end()) return nullptr;
    FifoRef fifo = std::move(found->second);
    registry.fifos.erase(found);
    return fifo;
}

// Copies the entry out and removes it; a failed copy leaves it queued.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Position position) {
    aPacket* copy = aPacket_Copy(position->packet.get());
    if (!copy) return nullptr;
    fifo.eraseAndSyncWindow(position);
    return copy;
}

using Deadline = std::chrono::steady_clock::time_point;

Deadline sDeadline(uint32_t timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

bool sAborted(aPacketFifoAbort abort, void* abortRef) {
    return abort && abort(abortRef);
}

aPacket* _waitUntilNotEmpty(aPacketFifoId id, uint32_t timeoutMs, aPacketFifoAbort abort,
                            void* abortRef) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    const Deadline deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> hold(fifo->lock);
    fifo->changed.wait_until(hold, deadline, [&] {
        return !fifo->queue.empty() || !fifo->alive || sAborted(abort, abortRef);
    });
    // A packet that is there is taken, even when the wait was cut short.
    if (fifo->queue.empty()) return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->queue.begin());
}

aPacket* _waitUntilProcIsSatisfied(aPacketFifoId id, aPacketFilter filter, void* ref,
                                   uint32_t timeoutMs, aPacketFifoAbort abort, void* abortRef) {
    if (!filter) return nullptr;
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    const Deadline deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> hold(fifo->lock);

    // Everything queued now is new to this call; afterwards only packets
    // with a higher serial id are offered, so no packet is offered twice.
    int64_t lastSeen = fifo->windowStart.load() - 1;
    auto accepted = fifo->queue.end();
    auto satisfied = [&] {
        accepted = fifo->queue.end();
        for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
            if (entry->serial <= lastSeen) continue;
            lastSeen = entry->serial;
            if (filter(entry->packet.get(), ref)) {
                accepted = entry;
                return true;
            }
        }
        return !fifo->alive || sAborted(abort, abortRef);
    };
    // The iterator comes from the last evaluation, made under the lock that
    // is still held, so it is valid here.
    fifo->changed.wait_until(hold, deadline, satisfied);
    if (accepted == fifo->queue.end()) return nullptr;
    return _stealPacketFromFifo(*fifo, accepted);
}

}  // namespace

aPacketFifoId aPacketFifo_Create(void) {
    Registry& registry = sRegistry();
    aPacketFifoId id = 0;
    while (id == 0) id = registry.sequentialId.fetch_add(1);
    try {
        FifoRef fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> hold(registry.lock);
        registry.fifos.emplace(id, std::move(fifo));
    } catch (...) {
        return 0;
    }
    return id;
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
    if (!id) return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo) return aErrNotFound;
        {
            std::lock_guard<std::mutex> hold(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->changed.notify_all();
    } catch (...) {
        return aErrUnknown;
    }
    *id = 0;
    return aErrNone;
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> hold(fifo->lock);
    return fifo->queue.size();
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
    if (!packet || packet->marker != aPACKET_MARKER) return aErrParam;
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return aErrParam;
    {
        std::lock_guard<std::mutex> hold(fifo->lock);
        const int64_t serial = fifo->nextId++;
        std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
        if (!copy) return aErrParam;
        try {
            fifo->queue.push_back(SerialPacket{serial, std::move(copy)});
        } catch (...) {
            return aErrResource;
        }
        fifo->windowStart = fifo->queue.front().serial;
        if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
            // Nobody is draining this FIFO: start over rather than grow.
            fifo->clearAndSyncWindow();
            return aErrNone;
        }
    }
    fifo->changed.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
    return _waitUntilNotEmpty(id, 0, nullptr, nullptr);
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMs) {
    return _waitUntilNotEmpty(id, timeoutMs, nullptr, nullptr);
}

aPacket* aPacketFifo_AwaitUnless(aPacketFifoId id, uint32_t timeoutMs, aPacketFifoAbort abort,
                                 void* abortRef) {
    return _waitUntilNotEmpty(id, timeoutMs, abort, abortRef);
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* ref) {
    if (!filter) return nullptr;
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> hold(fifo->lock);
    for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
        if (filter(entry->packet.get(), ref)) return _stealPacketFromFifo(*fifo, entry);
    }
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* ref,
                                uint32_t timeoutMs) {
    return _waitUntilProcIsSatisfied(id, filter, ref, timeoutMs, nullptr, nullptr);
}

aPacket* aPacketFifo_AwaitFirstUnless(aPacketFifoId id, aPacketFilter filter, void* ref,
                                      uint32_t timeoutMs, aPacketFifoAbort abort, void* abortRef) {
    return _waitUntilProcIsSatisfied(id, filter, ref, timeoutMs, abort, abortRef);
}

aErr aPacketFifo_Wake(aPacketFifoId id) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return aErrParam;
    // Taking the lock orders this wake after any waiter's last look, so the
    // change that prompted it cannot slip between a look and the wait.
    { std::lock_guard<std::mutex> hold(fifo->lock); }
    fifo->changed.notify_all();
    return aErrNone;
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* ref) {
    if (!filter) return 0;
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> hold(fifo->lock);
    const size_t before = fifo->queue.size();
    // Kept packets slide forward in order; the accepted ones end up at the
    // back and go in one erase.
    auto kept = fifo->queue.begin();
    for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
        if (filter(entry->packet.get(), ref)) continue;
        if (kept != entry) *kept = std::move(*entry);
        ++kept;
    }
    fifo->eraseAndSyncWindow(kept, fifo->queue.end());
    return before - fifo->queue.size();
}
