#include "framework/tl_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_item_deletes{0};

class CountedItem : public CQueueTaskItem {
public:
    explicit CountedItem(int n) : number(n) {}
    ~CountedItem() override { g_item_deletes.fetch_add(1); }
    int number;
};

class RecordingWorker : public CThreadBase {
public:
    ~RecordingWorker() override {
        Stop();
        Join();
    }
    void ProcessItem(CQueueTaskItem* item) override {
        auto* c = static_cast<CountedItem*>(item);
        {
            std::lock_guard<std::mutex> g(mu);
            seen.push_back(c->number);
        }
        if (hold_ms > 0) {
            entered.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
        }
        delete item;
    }
    void OnTimeout() override { timeouts.fetch_add(1); }
    std::vector<int> Seen() {
        std::lock_guard<std::mutex> g(mu);
        return seen;
    }
    std::mutex mu;
    std::vector<int> seen;
    std::atomic<int> timeouts{0};
    std::atomic<bool> entered{false};
    int hold_ms = 0;
};

template <typename F>
bool WaitFor(F cond, int ms = 5000) {
    for (int i = 0; i < ms / 2; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

TEST(TaskItems, DefaultsAndOwnedData) {
    CQueueTaskItem item;
    EXPECT_STREQ("QueueTaskItem", item.GetClassName());
    EXPECT_EQ(-1, item.GetType());
    EXPECT_EQ(-1, item.m_nLength);
    EXPECT_EQ(nullptr, item.m_pNext);
    EXPECT_TRUE(item.m_strText1.IsEmpty());
    OfflineDebugConfig cfg;
    item.GetOfflineParam(&cfg);
    EXPECT_EQ(3000, cfg.push_space);
    EXPECT_EQ(200, cfg.push_count);
    EXPECT_EQ(1, cfg.playback_times);
    EXPECT_EQ('\0', cfg.path[0]);
    EXPECT_EQ('\0', cfg.subtype[0]);

    // Blocks from malloc are freed by the item (ASan reports a leak otherwise),
    // including one replaced by a second Set.
    item.SetText(static_cast<char*>(std::malloc(16)));
    EXPECT_EQ(0, item.GetType());
    char* block = static_cast<char*>(std::malloc(8));
    item.SetData(42, block, 8);
    uint64_t target = 0;
    int32_t len = 0;
    EXPECT_EQ(block, item.GetData(&target, &len));
    EXPECT_EQ(1, item.GetType());
    EXPECT_EQ(42u, target);
    EXPECT_EQ(8, len);

    std::strcpy(cfg.path, "/data/");
    std::strcpy(cfg.subtype, "index,stock");
    cfg.push_space = 10;
    item.SetOfflineParam(cfg);
    EXPECT_EQ(4, item.GetType());
    OfflineDebugConfig back;
    item.GetOfflineParam(&back);
    EXPECT_EQ(0, std::memcmp(&cfg, &back, sizeof cfg));
}

TEST(TaskQueues, FifoAndClear) {
    g_item_deletes = 0;
    {
        TaskQueue q;
        EXPECT_TRUE(q.IsEmpty());
        EXPECT_EQ(nullptr, q.Pop());
        for (int i = 0; i < 3; ++i) q.Push(new CountedItem(i));
        EXPECT_FALSE(q.IsEmpty());
        CQueueTaskItem* first = q.Pop();
        EXPECT_EQ(0, static_cast<CountedItem*>(first)->number);
        EXPECT_EQ(nullptr, first->m_pNext);
        delete first;
        q.Push(new CountedItem(3));
        auto* second = static_cast<CountedItem*>(q.Pop());
        EXPECT_EQ(1, second->number);
        delete second;
        // Two items left: the queue deletes them.
    }
    EXPECT_EQ(4, g_item_deletes.load());
}

TEST(Workers, ItemsPostedBeforeStartRunInOrder) {
    RecordingWorker w;
    EXPECT_FALSE(w.Post(nullptr));
    EXPECT_TRUE(w.IsStopped());
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(w.Post(new CountedItem(i)));
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitFor([&] { return w.Seen().size() == 10; }));
    std::vector<int> expect = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(expect, w.Seen());
    // Items posted while it runs are handled too.
    EXPECT_TRUE(w.Post(new CountedItem(10)));
    ASSERT_TRUE(WaitFor([&] { return w.Seen().size() == 11; }));
    EXPECT_EQ(0xFFFFFFFFu, w.Suspend());
    EXPECT_EQ(0xFFFFFFFFu, w.Resume());
}

TEST(Workers, TimeoutsWithAnEmptyQueue) {
    RecordingWorker w;
    w.m_nWaitTimeout = 20;
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitFor([&] { return w.timeouts.load() >= 3; }));
    w.Stop();
    EXPECT_TRUE(w.Join(5000));
}

TEST(Workers, StopLetsTheItemInHandFinish) {
    g_item_deletes = 0;
    {
        RecordingWorker w;
        w.hold_ms = 100;
        ASSERT_TRUE(w.Start());
        w.Post(new CountedItem(1));
        ASSERT_TRUE(WaitFor([&] { return w.entered.load(); }));
        w.Post(new CountedItem(2));
        w.Stop();
        EXPECT_TRUE(w.Join(5000));
        EXPECT_EQ(std::vector<int>{1}, w.Seen());
        EXPECT_FALSE(w.m_queue.IsEmpty());
        // The item left in the queue is deleted with the worker.
    }
    EXPECT_EQ(2, g_item_deletes.load());
}

TEST(Workers, StartTwiceAndRestart) {
    RecordingWorker w;
    ASSERT_TRUE(w.Start());
    TLHandle first = w.m_hThread;
    ASSERT_TRUE(w.Start());  // already running: no second thread
    EXPECT_EQ(first, w.m_hThread);
    // Start right after Stop joins the old thread and starts a new one.
    w.Stop();
    ASSERT_TRUE(w.Start());
    EXPECT_FALSE(w.IsStopped());
    w.Post(new CountedItem(7));
    ASSERT_TRUE(WaitFor([&] { return w.Seen().size() == 1; }));
    w.Stop();
    EXPECT_TRUE(w.Join(5000));
    EXPECT_FALSE(w.IsThreadAlive());
    EXPECT_TRUE(w.Join(0));
}

// Counts how many threads are inside ProcessItem at once.
class ExclusiveWorker : public CThreadBase {
public:
    ~ExclusiveWorker() override {
        Stop();
        Join();
    }
    void ProcessItem(CQueueTaskItem* item) override {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        handled.fetch_add(1);
        inside.fetch_sub(1);
        delete item;
    }
    void OnTimeout() override {}
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> handled{0};
};

TEST(Workers, QuickStopStartCyclesKeepOneThreadOnTheQueue) {
    g_item_deletes = 0;
    {
        ExclusiveWorker w;
        for (int round = 0; round < 40; ++round) {
            ASSERT_TRUE(w.Start());
            for (int i = 0; i < 5; ++i) w.Post(new CountedItem(i));
            w.Stop();  // no Join: the next Start must wait for the old thread
        }
        ASSERT_TRUE(w.Start());
        ASSERT_TRUE(WaitFor([&] { return w.m_queue.IsEmpty(); }));
        w.Stop();
        EXPECT_TRUE(w.Join(5000));
        EXPECT_EQ(0, w.overlaps.load());
        EXPECT_EQ(200, w.handled.load());
    }
    EXPECT_EQ(200, g_item_deletes.load());
}

TEST(Workers, ConcurrentProducers) {
    RecordingWorker w;
    ASSERT_TRUE(w.Start());
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&w, t] {
            for (int i = 0; i < 250; ++i) w.Post(new CountedItem(t * 1000 + i));
        });
    }
    for (auto& p : producers) p.join();
    ASSERT_TRUE(WaitFor([&] { return w.Seen().size() == 1000; }));
    // Each producer's items keep their order.
    std::vector<int> last(4, -1);
    for (int n : w.Seen()) {
        EXPECT_GT(n % 1000, last[n / 1000]);
        last[n / 1000] = n % 1000;
    }
}

}  // namespace
