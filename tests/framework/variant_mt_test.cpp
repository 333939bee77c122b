// Shared objects released from several threads at once: exactly one clear
// sees the count reach 0 and calls back, and the small-object pool stays
// whole while threads take and give back blocks concurrently.
#include "framework/tl_variant.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 6;

void CountRelease(void* context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

TEST(VariantThreads, LastOfManyConcurrentClearsReleasesOnce) {
    constexpr int kRounds = 300;
    constexpr int kObjects = 4;
    std::vector<std::atomic<int>> released(kRounds * kObjects);
    // Per round, every thread holds a variant on each object; the creator's
    // reference goes before the threads start, so the last clear of some
    // thread releases each object.
    std::vector<std::vector<TLVariant>> held(kThreads, std::vector<TLVariant>(kRounds * kObjects));
    for (int i = 0; i < kRounds * kObjects; ++i) {
        // Every other object is past the pool's block size, so both ways
        // back (pool and heap) race.
        TLSharedObject* obj = TL_SharedObjectCreate(&released[i], CountRelease, (i & 1) ? 24 : 40);
        ASSERT_NE(nullptr, obj);
        for (int t = 0; t < kThreads; ++t)
            ASSERT_TRUE(TL_VariantSetShared(TL_VariantInit(&held[t][i]), obj, (t & 1) ? TL_VT_SHARED : TL_VT_SHARED_B));
        TL_SharedObjectRelease(obj);
    }
    std::atomic<int> go{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            go.fetch_add(1);
            while (go.load() < kThreads) std::this_thread::yield();
            // Threads walk the objects from different ends, so each one meets
            // both early and late clears.
            for (int k = 0; k < kRounds * kObjects; ++k) {
                const int i = (t & 1) ? kRounds * kObjects - 1 - k : k;
                TL_VariantClear(&held[t][i]);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int i = 0; i < kRounds * kObjects; ++i) EXPECT_EQ(1, released[i].load()) << i;
}

TEST(VariantThreads, PoolServesThreadsTakingAndGivingBack) {
    constexpr int kIterations = 3000;
    // Per thread: objects made and released. A block handed to two threads
    // at once would show as a context or count of the other thread's.
    std::vector<std::atomic<int>> released(kThreads);
    std::vector<int> created(kThreads, 0);
    std::atomic<int> foreign{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<TLVariant> mine(16);
            for (auto& v : mine) TL_VariantInit(&v);
            for (int k = 0; k < kIterations; ++k) {
                TLVariant& v = mine[size_t(k * 7 + t) % mine.size()];
                TLSharedObject* obj = TL_SharedObjectCreate(&released[t], CountRelease, (k % 5 == 0) ? 32 : 24);
                if (obj == nullptr) continue;
                ++created[t];
                TL_VariantSetShared(&v, obj);  // releases the object v held before
                if (TL_SharedObjectContext(obj) != &released[t] || TL_SharedObjectRefCount(obj) != 2) ++foreign;
                TL_SharedObjectRelease(obj);
            }
            for (auto& v : mine) TL_VariantClear(&v);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, foreign.load());
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(kIterations, created[t]);
        EXPECT_EQ(created[t], released[t].load()) << t;
    }
}

}  // namespace
