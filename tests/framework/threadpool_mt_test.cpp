#include "framework/tl_threadpool.h"
#include "tests/support/net_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Work items that count how many are alive.
struct Item {
    static std::atomic<int> alive;
    explicit Item(int v) : value(v) { alive.fetch_add(1); }
    ~Item() { alive.fetch_sub(1); }
    int value;
};
std::atomic<int> Item::alive{0};

// A gate a worker can be held at.
class Latch {
public:
    void Open() {
        std::lock_guard<std::mutex> g(m_);
        open_ = true;
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [this] { return open_; });
    }
    bool WaitFor(std::chrono::milliseconds ms) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, ms, [this] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What the worker saw, shared with the test (it may outlive the pool).
struct Journal {
    std::mutex m;
    std::vector<std::vector<int>> calls;  // values per ProcessTask call
    Latch firstCall;                      // opened when ProcessTask is entered
    Latch release;                        // ProcessTask of value < 0 waits on it
    Latch destroyed;

    void Record(std::vector<int> values) {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(std::move(values));
    }
    std::size_t Items() {
        std::lock_guard<std::mutex> g(m);
        std::size_t n = 0;
        for (auto& c : calls) n += c.size();
        return n;
    }
};

constexpr int kReleaseSelf = 1000000;

class SinglePool : public CTLLockFreeQThreadPool<Item*> {
public:
    SinglePool(const char* name, Journal* j) : CTLLockFreeQThreadPool<Item*>(name), journal_(j) {}
    ~SinglePool() override { journal_->destroyed.Open(); }

protected:
    void ProcessTask(Item* item) override {
        journal_->firstCall.Open();
        if (item->value < 0) journal_->release.Wait();
        if (item->value == kReleaseSelf) {
            delete item;
            CTLThreadPool::Release(this, 3000);  // from its own worker
            return;
        }
        journal_->Record({item->value});
        delete item;
    }

private:
    Journal* journal_;
};

class BatchPool : public CTLKvoLockFreeQThreadPool<Item*> {
public:
    BatchPool(const char* name, Journal* j) : CTLKvoLockFreeQThreadPool<Item*>(name), journal_(j) {}
    ~BatchPool() override { journal_->destroyed.Open(); }

protected:
    void ProcessTask(Item** items, std::uint32_t count) override {
        journal_->firstCall.Open();
        std::vector<int> values;
        bool hold = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            values.push_back(items[i]->value);
            hold = hold || items[i]->value < 0;
            delete items[i];
        }
        if (hold) journal_->release.Wait();
        journal_->Record(std::move(values));
    }

private:
    Journal* journal_;
};

// How long the tests wait for the pool's workers to get somewhere.
constexpr int kWaitMs = 10000;

// The records of the process-wide manager that carry name.
int RecordsNamed(const std::string& name) {
    int n = 0;
    TLThreadRecordInfo record;
    for (int i = 0; i < CTLThreadManager::kMaxThreads; ++i) {
        if (CTLThreadManager::GetInstance()->GetRecord(i, &record) && record.inUse && record.name == name) ++n;
    }
    return n;
}

TEST(ThreadPoolMt, AnIdleWorkerIsWokenByTheWorkEvent) {
    Journal journal;
    auto* pool = new SinglePool("wakeTest", &journal);
    ASSERT_EQ(pool->Start(1), 1u);
    ASSERT_TRUE(kvotest::Eventually([] { return RecordsNamed("wakeTest") == 1; }, kWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the worker is now waiting

    const auto sent = Clock::now();
    ASSERT_TRUE(pool->AddTask(new Item(1)));
    ASSERT_TRUE(journal.firstCall.WaitFor(std::chrono::seconds(5)));
    // Without the event the worker would sleep out its 1000 ms wait.
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(800));

    EXPECT_EQ(pool->GetThread(1), nullptr);
    EXPECT_NE(pool->GetThread(0), nullptr);
    EXPECT_EQ(pool->Stop(3000), 1u);
    EXPECT_FALSE(pool->IsRunning());
    EXPECT_FALSE(pool->IsAbandoned());
    EXPECT_EQ(RecordsNamed("wakeTest"), 0) << "the record is given back";
    EXPECT_EQ(pool->GetThread(0), nullptr);
    EXPECT_EQ(pool->GetProcessedCount(), 1u);
    delete pool;
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, ManyProducersEveryItemHandledOnce) {
    Journal journal;
    auto* pool = new SinglePool("manyProducers", &journal);
    pool->Start(2);
    constexpr int kProducers = 4;
    constexpr int kEach = 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(pool->AddTask(new Item(p * kEach + i)));
        });
    }
    for (auto& t : producers) t.join();
    ASSERT_TRUE(kvotest::Eventually([&] { return journal.Items() == kProducers * kEach; }, kWaitMs));
    EXPECT_EQ(pool->Stop(3000), 2u);
    std::vector<int> seen(kProducers * kEach, 0);
    for (auto& call : journal.calls) seen[call.at(0)]++;
    for (int v : seen) ASSERT_EQ(v, 1);
    EXPECT_EQ(pool->GetDropCount(), 0);
    delete pool;
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, BatchWorkerTakesEverythingQueuedInOrder) {
    Journal journal;
    auto* pool = new BatchPool("batchTest", &journal);
    pool->Start(1);
    ASSERT_TRUE(pool->AddTask(new Item(-1)));  // holds the worker
    ASSERT_TRUE(journal.firstCall.WaitFor(std::chrono::seconds(5)));
    pool->AddTask(new Item(10));
    pool->AddTask(new Item(11));
    pool->AddTask(new Item(12));
    EXPECT_EQ(pool->GetQueueLength(), 3);
    journal.release.Open();
    ASSERT_TRUE(kvotest::Eventually([&] { return journal.Items() == 4; }, kWaitMs));
    {
        std::lock_guard<std::mutex> g(journal.m);
        ASSERT_EQ(journal.calls.size(), 2u);
        EXPECT_EQ(journal.calls[0], (std::vector<int>{-1}));
        EXPECT_EQ(journal.calls[1], (std::vector<int>{10, 11, 12}));
    }
    EXPECT_EQ(pool->GetProcessedCount(), 4u);
    EXPECT_EQ(pool->Stop(3000), 1u);
    delete pool;
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, StopIsPromptAndWakesEveryIdleThread) {
    Journal journal;
    auto* pool = new SinglePool("idleStop", &journal);
    EXPECT_EQ(pool->Start(3), 3u);
    EXPECT_EQ(pool->GetThreadCount(), 3u);
    ASSERT_TRUE(kvotest::Eventually([] { return RecordsNamed("idleStop") == 3; }, kWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto begin = Clock::now();
    EXPECT_EQ(pool->Stop(3000), 3u);
    // Without the wake-up the threads would each sleep out their 1000 ms
    // wait; with it the stop takes a few milliseconds.
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(700));
    EXPECT_FALSE(pool->IsRunning());
    EXPECT_EQ(RecordsNamed("idleStop"), 0);
    delete pool;
}

TEST(ThreadPoolMt, ItemsLeftQueuedAreDeletedWithThePool) {
    Journal journal;
    auto* idle = new SinglePool("neverStarted", &journal);
    for (int i = 0; i < 2500; ++i) ASSERT_TRUE(idle->AddTask(new Item(i)));
    EXPECT_EQ(Item::alive.load(), 2500);
    delete idle;
    EXPECT_EQ(Item::alive.load(), 0);

    Journal busy;
    auto* pool = new BatchPool("leftOver", &busy);
    pool->Start(1);
    pool->AddTask(new Item(-1));
    ASSERT_TRUE(busy.firstCall.WaitFor(std::chrono::seconds(5)));
    for (int i = 0; i < 5; ++i) pool->AddTask(new Item(i));
    std::thread stopper([&] { EXPECT_EQ(pool->Stop(5000), 1u); });
    ASSERT_TRUE(kvotest::Eventually([&] { return pool->IsStopping(); }, kWaitMs));
    busy.release.Open();
    stopper.join();
    EXPECT_FALSE(pool->IsRunning());
    EXPECT_EQ(busy.Items(), 1u) << "a stopped worker takes no further batch";
    EXPECT_EQ(Item::alive.load(), 5);
    delete pool;
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, AStuckWorkerIsLeftRunningAndThePoolOutlivesIt) {
    Journal journal;
    auto* pool = new SinglePool("stuckWorker", &journal);
    pool->Start(1);
    pool->AddTask(new Item(-1));
    ASSERT_TRUE(journal.firstCall.WaitFor(std::chrono::seconds(5)));

    const auto begin = Clock::now();
    EXPECT_EQ(pool->Stop(100), 1u);
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(90));
    EXPECT_TRUE(pool->IsAbandoned());
    EXPECT_TRUE(pool->IsRunning());

    // Release must not free the pool under its running worker...
    CTLThreadPool::Release(pool, 0);
    EXPECT_FALSE(journal.destroyed.WaitFor(std::chrono::milliseconds(50)));
    // ...and the worker frees it when it finally ends.
    journal.release.Open();
    EXPECT_TRUE(journal.destroyed.WaitFor(std::chrono::seconds(10)));
    EXPECT_EQ(journal.Items(), 1u);
    EXPECT_EQ(RecordsNamed("stuckWorker"), 0);
}

TEST(ThreadPoolMt, StopWithoutWaitingThenRestart) {
    Journal journal;
    auto* pool = new SinglePool("asyncRequest", &journal);
    pool->Start(1);
    pool->AddTask(new Item(-1));
    ASSERT_TRUE(journal.firstCall.WaitFor(std::chrono::seconds(5)));
    EXPECT_EQ(pool->Stop(0), 1u);
    EXPECT_TRUE(pool->IsRunning());
    journal.release.Open();
    ASSERT_TRUE(kvotest::Eventually([&] { return !pool->IsRunning(); }, kWaitMs));

    // Once its threads are gone a pool can run again.
    EXPECT_EQ(pool->Start(1), 1u);
    pool->AddTask(new Item(5));
    ASSERT_TRUE(kvotest::Eventually([&] { return journal.Items() == 2; }, kWaitMs));
    CTLThreadPool::Release(pool, 3000);
    EXPECT_TRUE(journal.destroyed.WaitFor(std::chrono::seconds(1)));
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, AWorkerMayReleaseItsOwnPool) {
    Journal journal;
    auto* pool = new SinglePool("selfRelease", &journal);
    pool->Start(2);
    pool->AddTask(new Item(kReleaseSelf));
    // Release does not wait on the calling worker; the last worker to end
    // frees the pool.
    ASSERT_TRUE(journal.destroyed.WaitFor(std::chrono::seconds(2)));
    EXPECT_EQ(RecordsNamed("selfRelease"), 0);
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, AWorkerWithoutAManagerRecordStillWorks) {
    // Take every free record of the process-wide manager.
    CTLThreadManager* manager = CTLThreadManager::GetInstance();
    std::vector<std::int32_t> taken;
    for (std::int32_t index; (index = manager->Register(1, "filler")) >= 0;) taken.push_back(index);
    ASSERT_EQ(manager->GetCount(), static_cast<std::uint32_t>(CTLThreadManager::kMaxThreads));

    Journal journal;
    auto* pool = new SinglePool("noRecord", &journal);
    pool->Start(1);
    ASSERT_TRUE(pool->AddTask(new Item(3)));
    ASSERT_TRUE(kvotest::Eventually([&] { return journal.Items() == 1; }, kWaitMs));
    EXPECT_EQ(pool->Stop(3000), 1u);
    EXPECT_EQ(manager->GetCount(), static_cast<std::uint32_t>(CTLThreadManager::kMaxThreads))
        << "the worker gave back no record it did not have";
    delete pool;

    for (std::int32_t index : taken) manager->Unregister(index);
    EXPECT_EQ(RecordsNamed("filler"), 0);
    EXPECT_EQ(Item::alive.load(), 0);
}

TEST(ThreadPoolMt, ManagerCallbacksReportTheQueue) {
    Journal journal;
    auto* pool = new SinglePool("callbackTest", &journal);
    pool->Start(1);
    pool->AddTask(new Item(-1));
    ASSERT_TRUE(journal.firstCall.WaitFor(std::chrono::seconds(5)));
    pool->AddTask(new Item(1));
    pool->AddTask(new Item(2));
    TLThreadRecordInfo record;
    int index = -1;
    for (int i = 0; i < CTLThreadManager::kMaxThreads && index < 0; ++i) {
        if (CTLThreadManager::GetInstance()->GetRecord(i, &record) && record.inUse && record.name == "callbackTest")
            index = i;
    }
    ASSERT_GE(index, 0);
    EXPECT_EQ(record.checkInterval, 1500u);
    EXPECT_EQ(record.armed, 1u) << "armed around the item being handled";
    EXPECT_EQ(record.timeout, 5000u);
    EXPECT_EQ(record.check.Invoke(), 2);
    EXPECT_EQ(record.info.Invoke(), 0);
    journal.release.Open();
    EXPECT_EQ(pool->Stop(3000), 1u);
    delete pool;
}

}  // namespace
