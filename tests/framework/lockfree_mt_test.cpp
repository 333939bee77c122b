#include "framework/tl_lockfree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Items carry (producer << 32) | sequence, sequence starting at 1.
constexpr std::uintptr_t Tag(unsigned producer, std::uintptr_t seq) {
    return (static_cast<std::uintptr_t>(producer) << 32) | seq;
}

struct Outcome {
    std::vector<std::vector<std::uint8_t>> seen;  // [producer][seq]
    bool orderKept = true;
    bool duplicate = false;
};

// Runs producers x perProducer items through one queue drained by
// `consumers` threads; every consumer checks per-producer order.
template <unsigned BlockSize = 1024>
Outcome RunQueue(unsigned producers, unsigned consumers, std::uintptr_t perProducer) {
    murek::CQueue<std::uintptr_t, BlockSize> q;
    Outcome result;
    result.seen.assign(producers, std::vector<std::uint8_t>(perProducer + 1, 0));
    std::atomic<unsigned> producersLeft{producers};
    std::atomic<bool> orderKept{true};
    std::vector<std::vector<std::uintptr_t>> taken(consumers);

    std::vector<std::thread> threads;
    for (unsigned c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            std::vector<std::uintptr_t> last(producers, 0);
            auto& mine = taken[c];
            for (;;) {
                const bool done = producersLeft.load(std::memory_order_acquire) == 0;
                std::uintptr_t item;
                bool any = false;
                while (q.Pop(item)) {
                    any = true;
                    const unsigned p = static_cast<unsigned>(item >> 32);
                    const std::uintptr_t seq = item & 0xFFFFFFFFu;
                    if (p >= producers || seq <= last[p]) orderKept.store(false);
                    if (p < producers) last[p] = seq;
                    mine.push_back(item);
                }
                if (done && !any) break;
                if (!any) std::this_thread::yield();
            }
        });
    }
    for (unsigned p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (std::uintptr_t s = 1; s <= perProducer; ++s) q.Push(Tag(p, s));
            producersLeft.fetch_sub(1, std::memory_order_release);
        });
    }
    for (auto& t : threads) t.join();

    result.orderKept = orderKept.load();
    for (auto& list : taken) {
        for (std::uintptr_t item : list) {
            auto& slot = result.seen[item >> 32][item & 0xFFFFFFFFu];
            if (slot != 0) result.duplicate = true;
            slot = 1;
        }
    }
    EXPECT_EQ(q.Size(), 0u);
    return result;
}

void ExpectEveryItemOnce(const Outcome& r) {
    EXPECT_TRUE(r.orderKept);
    EXPECT_FALSE(r.duplicate);
    for (std::size_t p = 0; p < r.seen.size(); ++p) {
        std::size_t missing = 0;
        for (std::size_t s = 1; s < r.seen[p].size(); ++s) missing += r.seen[p][s] == 0;
        EXPECT_EQ(missing, 0u) << "producer " << p;
    }
}

TEST(LockFreeQueueMt, FourProducersOneConsumerSeeEveryItemOnceInOrder) { ExpectEveryItemOnce(RunQueue(4, 1, 200000)); }

TEST(LockFreeQueueMt, FourProducersTwoConsumersSeeEveryItemOnceInOrder) { ExpectEveryItemOnce(RunQueue(4, 2, 200000)); }

TEST(LockFreeQueueMt, TinyBlocksAreLinkedAndFreedSafelyUnderThreeConsumers) {
    // Four-node blocks: a block is linked and another freed every few items,
    // so producers and consumers cross block boundaries all the time.
    ExpectEveryItemOnce(RunQueue<4>(3, 3, 50000));
}

TEST(LockFreeQueueMt, BoundedListCountsEveryRefusedPush) {
    CRingLockFreeList<std::uintptr_t, 0> list(64);
    constexpr unsigned kProducers = 4;
    constexpr unsigned kEach = 50000;
    std::atomic<unsigned> accepted{0};
    std::atomic<unsigned> producersLeft{kProducers};
    unsigned taken = 0;
    std::thread consumer([&] {
        std::uintptr_t item;
        for (;;) {
            const bool done = producersLeft.load() == 0;
            bool any = false;
            while (list.Pop(item)) {
                ++taken;
                any = true;
            }
            if (done && !any) break;
        }
    });
    std::vector<std::thread> producers;
    for (unsigned p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (unsigned s = 1; s <= kEach; ++s) {
                if (list.Push(Tag(p, s))) accepted.fetch_add(1);
            }
            producersLeft.fetch_sub(1);
        });
    }
    for (auto& t : producers) t.join();
    consumer.join();
    EXPECT_EQ(taken, accepted.load());
    EXPECT_EQ(accepted.load() + static_cast<unsigned>(list.GetDropCount()), kProducers * kEach);
}

}  // namespace
