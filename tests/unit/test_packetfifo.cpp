// Packet FIFOs: registry ids, copies, overflow, filtered waits, destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "aPacket.h"
#include "packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr makePacket(uint8_t tag, uint8_t address = 2) {
    return PacketPtr(aPacket_CreateWithData(address, 1, &tag));
}

uint8_t tagOf(const PacketPtr& p) {
    return p ? p->data[0] : 0xFF;
}

// Owns one FIFO for a test.
struct Fifo {
    aPacketFifoId id = aPacketFifo_Create();
    ~Fifo() {
        if (id) aPacketFifo_Destroy(&id);
    }
    void put(uint8_t tag) { ASSERT_EQ(aPacketFifo_Put(id, makePacket(tag).get()), aErrNone); }
};

// Waits, within a bound, until `done` holds.
template <typename Done>
bool eventually(Done done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool acceptAll(const aPacket*, void*) {
    return true;
}

bool acceptTag(const aPacket* p, void* ref) {
    return p->data[0] == *static_cast<uint8_t*>(ref);
}

// Must stay the first test: ids count from 1 in a fresh process.
TEST(PacketFifo, FirstIdIsOne) {
    Fifo fifo;
    EXPECT_EQ(fifo.id, 1u);
    Fifo second;
    EXPECT_EQ(second.id, 2u);
}

TEST(PacketFifo, UnregisteredIdsAndBadInput) {
    Fifo fifo;
    aPacketFifoId gone = aPacketFifo_Create();
    ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
    EXPECT_EQ(gone, 0u);

    for (aPacketFifoId id : {aPacketFifoId{0}, aPacketFifoId{999999}}) {
        EXPECT_EQ(aPacketFifo_Put(id, makePacket(1).get()), aErrParam);
        EXPECT_EQ(aPacketFifo_Get(id), nullptr);
        EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(id, acceptAll, nullptr, 0), nullptr);
        EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
        EXPECT_EQ(aPacketFifo_DrainPackets(id, acceptAll, nullptr), 0u);
        aPacketFifoId copy = id;
        EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
        EXPECT_EQ(copy, id);
    }
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

    // An invalid packet is refused and nothing is queued.
    PacketPtr bad = makePacket(1);
    bad->marker = 0;
    EXPECT_EQ(aPacketFifo_Put(fifo.id, bad.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo.id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
    bad->marker = aPACKET_MARKER;
}

TEST(PacketFifo, PacketsChangeHandsByCopy) {
    Fifo fifo;
    PacketPtr original = makePacket(7);
    ASSERT_EQ(aPacketFifo_Put(fifo.id, original.get()), aErrNone);
    original->data[0] = 8;  // the queued copy must not see this

    PacketPtr out(aPacketFifo_Get(fifo.id));
    ASSERT_TRUE(out);
    EXPECT_NE(out.get(), original.get());
    EXPECT_EQ(tagOf(out), 7);
    original.reset();
    EXPECT_EQ(out->marker, aPACKET_MARKER);
    EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);
}

TEST(PacketFifo, ThousandAndFirstPutEmptiesTheFifo) {
    Fifo fifo;
    for (int i = 0; i < 1000; ++i) fifo.put(static_cast<uint8_t>(i));
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1000u);
    EXPECT_EQ(aPacketFifo_Put(fifo.id, makePacket(1).get()), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);

    // Afterwards the FIFO works as new, and a waiting search sees new packets.
    fifo.put(42);
    uint8_t want = 42;
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_AwaitFirst(fifo.id, acceptTag, &want, 0))), 42);
}

TEST(PacketFifo, AwaitWithZeroTimeout) {
    Fifo fifo;
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo.id, 0), nullptr);
    EXPECT_LT(msSince(start), 100);
    fifo.put(3);
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_Await(fifo.id, 0))), 3);
}

TEST(PacketFifo, AwaitTimesOutWithinItsBound) {
    Fifo fifo;
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, acceptAll, nullptr, 50), nullptr);
    const long waited = msSince(start);
    EXPECT_GE(waited, 45);
    EXPECT_LT(waited, 2000);
}

// Each waiting call offers each packet to its filter once, however often it
// wakes: A and B are rejected once each, C is taken.
TEST(PacketFifo, AwaitFirstOffersEachPacketOnce) {
    Fifo fifo;
    std::atomic<int> calls{0};
    auto filter = [](const aPacket* p, void* ref) {
        ++*static_cast<std::atomic<int>*>(ref);
        return p->data[0] == 'C';
    };
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(fifo.id, filter, &calls, 5000));
    });
    int expected = 0;
    for (uint8_t tag : {'A', 'B', 'C'}) {
        // Let the waiter see the previous packet before the next one comes.
        ASSERT_TRUE(eventually([&] { return calls == expected; }));
        fifo.put(tag);
        ++expected;
    }
    PacketPtr got = waiter.get();
    EXPECT_EQ(tagOf(got), 'C');
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_Get(fifo.id))), 'A');
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_Get(fifo.id))), 'B');
}

TEST(PacketFifo, GetFirstTakesTheOldestMatch) {
    Fifo fifo;
    for (uint8_t tag : {1, 2, 1, 3}) fifo.put(tag);
    uint8_t want = 1;
    PacketPtr first(aPacketFifo_GetFirst(fifo.id, acceptTag, &want));
    ASSERT_TRUE(first);
    // The later 1 stays: order of the rest is kept.
    for (uint8_t tag : {2, 1, 3}) EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_Get(fifo.id))), tag);
    want = 9;
    EXPECT_EQ(aPacketFifo_GetFirst(fifo.id, acceptTag, &want), nullptr);
}

TEST(PacketFifo, DrainRemovesMatchesAndKeepsTheRestInOrder) {
    Fifo fifo;
    for (uint8_t tag : {1, 2, 1, 3, 1}) fifo.put(tag);
    uint8_t want = 1;
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, acceptTag, &want), 3u);
    uint8_t three = 3;
    // A new waiting search still finds what is left behind the drained front.
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_AwaitFirst(fifo.id, acceptTag, &three, 0))), 3);
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_Get(fifo.id))), 2);

    for (uint8_t tag : {4, 5}) fifo.put(tag);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, acceptAll, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
    fifo.put(6);
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_AwaitFirst(fifo.id, acceptAll, nullptr, 0))), 6);
}

TEST(PacketFifo, DestroyWakesEveryWaiter) {
    aPacketFifoId id = aPacketFifo_Create();
    std::atomic<int> waiting{0};
    auto plain = std::async(std::launch::async, [&] {
        ++waiting;
        return PacketPtr(aPacketFifo_Await(id, 10000));
    });
    auto filtered = std::async(std::launch::async, [&] {
        ++waiting;
        return PacketPtr(aPacketFifo_AwaitFirst(id, acceptAll, nullptr, 10000));
    });
    ASSERT_TRUE(eventually([&] { return waiting == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let both block
    const auto start = Clock::now();
    const aPacketFifoId copy = id;
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(plain.get(), nullptr);
    EXPECT_EQ(filtered.get(), nullptr);
    EXPECT_LT(msSince(start), 1000);
    EXPECT_EQ(aPacketFifo_Put(copy, makePacket(1).get()), aErrParam);
}

TEST(PacketFifo, AbortConditionEndsAWaitAfterWake) {
    Fifo fifo;
    std::atomic<bool> abort{false};
    auto aborted = [](void* ref) { return static_cast<std::atomic<bool>*>(ref)->load(); };
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(
            aPacketFifo_AwaitFirstUnless(fifo.id, acceptAll, nullptr, 10000, aborted, &abort));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    abort = true;
    ASSERT_EQ(aPacketFifo_Wake(fifo.id), aErrNone);
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_LT(msSince(start), 1000);
    // A packet that is there is still taken by a plain wait.
    fifo.put(5);
    EXPECT_EQ(tagOf(PacketPtr(aPacketFifo_AwaitUnless(fifo.id, 0, aborted, &abort))), 5);
}

// Several producers and filtered consumers on one FIFO: every packet reaches
// its consumer, in the order it was put (600 packets never overflow it).
TEST(PacketFifo, ConcurrentProducersAndFilteredConsumers) {
    Fifo fifo;
    constexpr int kPerProducer = 300;
    auto produce = [&](uint8_t address) {
        for (int i = 0; i < kPerProducer; ++i) {
            uint8_t data[2] = {address, static_cast<uint8_t>(i)};
            PacketPtr p(aPacket_CreateWithData(address, 2, data));
            aPacketFifo_Put(fifo.id, p.get());
        }
    };
    auto consume = [&](uint8_t address) {
        auto mine = [](const aPacket* p, void* ref) {
            return p->address == *static_cast<uint8_t*>(ref);
        };
        int next = 0;
        while (next < kPerProducer) {
            PacketPtr p(aPacketFifo_AwaitFirst(fifo.id, mine, &address, 5000));
            if (!p || p->data[1] != static_cast<uint8_t>(next)) return false;
            ++next;
        }
        return true;
    };
    auto c2 = std::async(std::launch::async, consume, 2);
    auto c4 = std::async(std::launch::async, consume, 4);
    std::thread p2(produce, 2), p4(produce, 4);
    p2.join();
    p4.join();
    EXPECT_TRUE(c2.get());
    EXPECT_TRUE(c4.get());
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

}  // namespace
