#include "framework/tl_threadpool.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct Counted {
    static int alive;
    explicit Counted(int v) : value(v) { ++alive; }
    ~Counted() { --alive; }
    int value;
};
int Counted::alive = 0;

class Batch : public CTLKvoLockFreeQThreadPool<Counted*> {
public:
    Batch() : CTLKvoLockFreeQThreadPool<Counted*>("batch") {}

protected:
    void ProcessTask(Counted** items, std::uint32_t count) override {
        for (std::uint32_t i = 0; i < count; ++i) delete items[i];
    }
};

class Bounded : public CTLLockFreeQThreadPool<Counted*, 1, 2> {
public:
    Bounded() : CTLLockFreeQThreadPool<Counted*, 1, 2>("bounded") {}

protected:
    void ProcessTask(Counted* item) override { delete item; }
};

TEST(ThreadPool, PopAllTakesWhatIsQueuedInOrder) {
    Batch pool;
    std::uint32_t count = 77;
    EXPECT_EQ(pool.PopAll(count), nullptr);
    EXPECT_EQ(count, 77u) << "count untouched when nothing was taken";
    EXPECT_EQ(pool.PopTask(), nullptr);
    EXPECT_EQ(pool.GetProcessedCount(), 0u);

    for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.AddTask(new Counted(i)));
    EXPECT_EQ(pool.GetQueueLength(), 3);
    Counted** items = pool.PopAll(count);
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(count, 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(items[i]->value, i);
        delete items[i];
    }
    std::free(items);
    EXPECT_EQ(pool.GetProcessedCount(), 3u);
    EXPECT_EQ(pool.GetQueueLength(), 0);

    pool.AddTask(new Counted(9));
    Counted* one = pool.PopTask();
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->value, 9);
    delete one;
    EXPECT_EQ(pool.GetProcessedCount(), 4u);
    EXPECT_EQ(Counted::alive, 0);
}

TEST(ThreadPool, ARefusedTaskStaysWithTheCallerAndCountsADrop) {
    {
        Bounded pool;
        auto* a = new Counted(1);
        auto* b = new Counted(2);
        auto* c = new Counted(3);
        EXPECT_TRUE(pool.AddTask(a));
        EXPECT_TRUE(pool.AddTask(b));
        EXPECT_FALSE(pool.AddTask(c));
        EXPECT_EQ(pool.GetDropCount(), 1);
        delete c;  // refused: still the caller's
        EXPECT_EQ(pool.Stop(3000), 0u) << "no thread was started";
    }
    EXPECT_EQ(Counted::alive, 0) << "queued items go with the pool";
}

}  // namespace
