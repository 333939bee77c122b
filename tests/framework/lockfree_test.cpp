#include "framework/tl_lockfree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Counts blocks and can be told to refuse the next allocations.
struct BlockCounter {
    int allocated = 0;
    int released = 0;
    bool fail = false;

    static void* Alloc(void* ctx, std::size_t bytes) {
        auto* self = static_cast<BlockCounter*>(ctx);
        if (self->fail) return nullptr;
        ++self->allocated;
        return std::malloc(bytes);
    }
    static void Release(void* ctx, void* block) {
        ++static_cast<BlockCounter*>(ctx)->released;
        std::free(block);
    }
    murek::CQueueBlockAllocator Hooks() { return {&Alloc, &Release, this}; }
};

using Queue = murek::CQueue<std::uintptr_t, 1024>;

TEST(LockFreeQueue, KeepsOrderAcrossBlocksAndFreesEachBlockWhenLeft) {
    BlockCounter counter;
    auto hooks = counter.Hooks();
    {
        Queue q(&hooks);
        EXPECT_EQ(counter.allocated, 1);
        std::uintptr_t out = 0;
        EXPECT_FALSE(q.Pop(out));
        EXPECT_EQ(q.Size(), 0u);

        for (std::uintptr_t i = 1; i <= 1024; ++i) ASSERT_TRUE(q.Push(i * 7));
        EXPECT_EQ(counter.allocated, 1) << "tickets 1..1024 fit the first block";
        ASSERT_TRUE(q.Push(1025 * 7));
        EXPECT_EQ(counter.allocated, 2) << "ticket 1025 opens the second block";
        EXPECT_EQ(q.Size(), 1025u);

        for (std::uintptr_t i = 1; i <= 1024; ++i) {
            ASSERT_TRUE(q.Pop(out));
            ASSERT_EQ(out, i * 7);
        }
        EXPECT_EQ(counter.released, 0) << "the last node of block 1 is still the head";
        ASSERT_TRUE(q.Pop(out));
        EXPECT_EQ(out, 1025u * 7);
        EXPECT_EQ(counter.released, 1) << "taking ticket 1025 frees the first block";
        EXPECT_FALSE(q.Pop(out));
        EXPECT_EQ(q.Size(), 0u);
    }
    EXPECT_EQ(counter.allocated, counter.released);
}

TEST(LockFreeQueue, DestroyingANonEmptyQueueFreesEveryBlock) {
    BlockCounter counter;
    auto hooks = counter.Hooks();
    {
        Queue q(&hooks);
        for (std::uintptr_t i = 0; i < 5000; ++i) q.Push(i);
        std::uintptr_t out;
        for (int i = 0; i < 1500; ++i) q.Pop(out);
        EXPECT_EQ(q.Size(), 3500u);
    }
    EXPECT_EQ(counter.allocated, 5);
    EXPECT_EQ(counter.released, 5);

    {
        Queue untouched(&hooks);  // only the first block and the sentinel
    }
    EXPECT_EQ(counter.allocated, counter.released);
}

TEST(LockFreeQueue, FailedBlockAllocationRefusesOnlyThatPushAndKeepsTheQueueUsable) {
    BlockCounter counter;
    auto hooks = counter.Hooks();
    Queue q(&hooks);
    for (std::uintptr_t i = 1; i <= 1024; ++i) ASSERT_TRUE(q.Push(i));
    counter.fail = true;
    EXPECT_FALSE(q.Push(9999));
    EXPECT_FALSE(q.Push(9999));
    EXPECT_EQ(q.Size(), 1024u);
    counter.fail = false;
    ASSERT_TRUE(q.Push(1025));  // a later producer is not stuck behind the failure
    std::uintptr_t out;
    for (std::uintptr_t i = 1; i <= 1025; ++i) {
        ASSERT_TRUE(q.Pop(out));
        ASSERT_EQ(out, i);
    }
    EXPECT_FALSE(q.Pop(out));

    CRingLockFreeList<std::uintptr_t, 0> list(0, &hooks);
    for (std::uintptr_t i = 1; i <= 1024; ++i) ASSERT_TRUE(list.Push(i));
    counter.fail = true;
    EXPECT_FALSE(list.Push(1));
    EXPECT_EQ(list.GetDropCount(), 1);
    counter.fail = false;
}

TEST(LockFreeQueue, TicketsRunPastThirtyTwoBits) {
    BlockCounter counter;
    auto hooks = counter.Hooks();
    {
        Queue q(&hooks, (std::uint64_t{1} << 32) - 2048);
        std::uintptr_t out;
        std::uintptr_t next = 0;
        // Interleave so both ends cross 2^32 and several block boundaries.
        for (std::uintptr_t i = 0; i < 6000; ++i) {
            ASSERT_TRUE(q.Push(i));
            if (i % 3 == 2) {
                ASSERT_TRUE(q.Pop(out));
                ASSERT_EQ(out, next++);
            }
        }
        EXPECT_EQ(q.Size(), 6000u - next);
        while (q.Pop(out)) ASSERT_EQ(out, next++);
        EXPECT_EQ(next, 6000u);
        EXPECT_EQ(q.Size(), 0u);
    }
    EXPECT_EQ(counter.allocated, counter.released);
}

TEST(RingLockFreeList, CapacityRefusesAndCountsDropsUntilAnItemIsTaken) {
    CRingLockFreeList<void*, 0> list(2);
    int a, b, c;
    EXPECT_TRUE(list.Push(&a));
    EXPECT_TRUE(list.Push(&b));
    EXPECT_FALSE(list.Push(&c));
    EXPECT_EQ(list.GetDropCount(), 1);
    void* out = nullptr;
    ASSERT_TRUE(list.Pop(out));
    EXPECT_EQ(out, &a);
    EXPECT_TRUE(list.Push(&c));
    EXPECT_FALSE(list.Push(&a));
    EXPECT_EQ(list.GetDropCount(), 2);
    ASSERT_TRUE(list.Pop(out));
    EXPECT_EQ(out, &b);
    ASSERT_TRUE(list.Pop(out));
    EXPECT_EQ(out, &c);

    CRingLockFreeList<void*, 0> unbounded;
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(unbounded.Push(out));
    EXPECT_EQ(unbounded.GetDropCount(), 0);
    EXPECT_EQ(unbounded.Size(), 3000u);
}

}  // namespace
